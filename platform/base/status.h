// Status: the small reason that the platform layer returns where a boolean is
// not enough. No exceptions cross layers; a Status is cheap to copy.
#ifndef TAVIK_PLATFORM_BASE_STATUS_H_
#define TAVIK_PLATFORM_BASE_STATUS_H_

#include <string>
#include <utility>

namespace tavik {

class Status {
 public:
  enum class Code {
    kOk,
    kNotFound,
    kAccessDenied,
    kIoError,
    kCorrupt,
    kInvalidArgument,
    kNotSupported,
  };

  Status() = default;
  Status(Code code, std::string message)
      : code_(code), message_(std::move(message)) {}

  static Status Ok() { return Status(); }
  static Status NotFound(std::string m) {
    return {Code::kNotFound, std::move(m)};
  }
  static Status AccessDenied(std::string m) {
    return {Code::kAccessDenied, std::move(m)};
  }
  static Status IoError(std::string m) {
    return {Code::kIoError, std::move(m)};
  }
  static Status Corrupt(std::string m) {
    return {Code::kCorrupt, std::move(m)};
  }
  static Status InvalidArgument(std::string m) {
    return {Code::kInvalidArgument, std::move(m)};
  }
  static Status NotSupported(std::string m) {
    return {Code::kNotSupported, std::move(m)};
  }

  // The same status carrying the system's own error number (errno on
  // POSIX), for a caller that must tell apart causes one code covers.
  Status WithOsError(int os_error) const {
    Status s = *this;
    s.os_error_ = os_error;
    return s;
  }

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  const std::string& message() const { return message_; }
  // The system's error number behind the failure; 0 when none was given.
  int os_error() const { return os_error_; }

 private:
  Code code_ = Code::kOk;
  std::string message_;
  int os_error_ = 0;
};

}  // namespace tavik

#endif  // TAVIK_PLATFORM_BASE_STATUS_H_
