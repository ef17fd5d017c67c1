// save and load: the file side of the saved-geocoder codec.
#include "persist/storage.hpp"

#include "persist/codec.hpp"
#include "persist/encode.hpp"
#include "persist/file.hpp"
#include "persist/file_replace.hpp"

namespace vicinor::persist {

Status save_geocoder(const std::string& path, const ReverseGeocoder& geocoder,
                     const Interruption& interruption) {
    // Before any file is opened or created; the path is checked where it
    // is opened.
    Status status = check_encodable(geocoder);
    if (!status.ok()) return status;

    Result<FileReplacement> target = FileReplacement::begin(path, interruption);
    if (!target.ok()) return std::move(target).error();
    {
        BufferedWriter out(target->sink());
        status = write_saved_geocoder(out, geocoder);
        if (status.ok()) status = finish_encoding(out);
        if (!status.ok()) return status;
    }
    Status written = target->finish_writing();
    if (!written.ok()) return encode_write_error(written.error());
    return target->commit();
}

Result<ReverseGeocoder> load_geocoder_from_bytes(std::span<const std::uint8_t> bytes) {
    Result<ReverseGeocoder> decoded = decode_from_bytes(bytes);
    if (!decoded.ok()) return decoded;
    Status usable = check_loaded_geocoder(decoded.value());
    if (!usable.ok()) return std::move(usable).error();
    return decoded;
}

Result<ReverseGeocoder> load_geocoder(const std::string& path,
                                      const Interruption& interruption) {
    Result<FileDescriptor> file = open_for_load(path, interruption);
    if (!file.ok()) return std::move(file).error();
    Result<ReverseGeocoder> decoded = [&] {
        FileSource source(file->get(), interruption);
        BufferedReader in(source);
        return decode_saved_geocoder(in);
    }();
    // Nothing was written, so a failing close loses nothing worth reporting.
    (void)file->close();
    if (!decoded.ok()) return decoded;
    Status usable = check_loaded_geocoder(decoded.value());
    if (!usable.ok()) return std::move(usable).error();
    return decoded;
}

}  // namespace vicinor::persist
