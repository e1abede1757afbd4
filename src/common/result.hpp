#pragma once
// Errors are values: every operation below src/lib returns its result or an
// Error, and only src/lib turns an Error into a Python exception.

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace quorvel {

enum class ErrorKind : unsigned char {
  Value,  // raised as ValueError
  Panic,  // unrecoverable internal failure, raised as the panic exception
};

struct Error {
  ErrorKind kind = ErrorKind::Value;
  std::string message;
  // The program statement (numbered from 1) the failure belongs to, or 0.
  std::uint32_t statement = 0;
};

inline Error value_error(std::string message) { return {ErrorKind::Value, std::move(message)}; }
inline Error panic_error(std::string message) { return {ErrorKind::Panic, std::move(message)}; }

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }

  const Error& error() const& { return std::get<1>(state_); }
  Error&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

using Status = Result<std::monostate>;
inline Status success() { return std::monostate{}; }

}  // namespace quorvel
