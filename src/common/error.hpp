// Error values shared by every core operation: a message plus the chain of
// lower-level causes it wraps. Nothing in the core throws for an expected
// failure; it returns one of these and the binding decides how to surface it.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace vicinor {

class Error {
public:
    explicit Error(std::string message) : message_(std::move(message)) {}

    // A higher-level error caused by `cause`: the cause's message heads the
    // chain, followed by the cause's own chain.
    Error(std::string message, const Error& cause) : message_(std::move(message)) {
        causes_.reserve(cause.causes_.size() + 1);
        causes_.push_back(cause.message_);
        causes_.insert(causes_.end(), cause.causes_.begin(), cause.causes_.end());
    }

    const std::string& message() const noexcept { return message_; }
    const std::vector<std::string>& causes() const noexcept { return causes_; }

    // The message followed by a "Caused by:" section, indented (one cause) or
    // numbered (several), exactly as callers see it in the host exception.
    std::string render() const;

private:
    std::string message_;
    std::vector<std::string> causes_;
};

// Either a value or an Error. Deliberately small: the core needs only
// construction, a check and access.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }

    const Error& error() const& { return std::get<1>(state_); }
    Error&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)) {}

    bool ok() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }

    const Error& error() const& { return *error_; }
    Error&& error() && { return std::move(*error_); }

private:
    std::optional<Error> error_;
};

using Status = Result<void>;

}  // namespace vicinor
