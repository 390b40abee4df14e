// Error kinds of the velna core. Every failure is one of these exceptions,
// carrying the system's own message; the Python bindings map each kind to the
// Python type that the Python API promises.
#pragma once

#include <stdexcept>
#include <string>

namespace velna {

// Error is the base of every error the core throws.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// InvalidArgument: a value that the operation refuses (a Python ValueError).
class InvalidArgument : public Error {
 public:
  using Error::Error;
};

// TypeMismatch: an argument of the wrong type (a Python TypeError).
class TypeMismatch : public Error {
 public:
  using Error::Error;
};

// InvalidSignature: a MAC or signature that does not verify.
class InvalidSignature : public Error {
 public:
  InvalidSignature() : Error("") {}
  using Error::Error;
};

// DecryptionError: data that failed to decrypt or authenticate.
class DecryptionError : public Error {
 public:
  using Error::Error;
};

// ParseError: a binary layout that ends before a field is complete.
class ParseError : public Error {
 public:
  using Error::Error;
};

// BuildError: a record that cannot be written in its binary layout.
class BuildError : public Error {
 public:
  using Error::Error;
};

// AssertionFailure: an internal consistency check that failed (a Python
// AssertionError). The random source and the FIPS switch raise it.
class AssertionFailure : public Error {
 public:
  using Error::Error;
};

// AlreadyFinalized: a single-use object used a second time.
class AlreadyFinalized : public Error {
 public:
  using Error::Error;
};

// UnsupportedAlgorithm: an algorithm or key type OpenSSL cannot provide here.
class UnsupportedAlgorithm : public Error {
 public:
  using Error::Error;
};

// CryptoFailure: OpenSSL reported a failure that has no more specific kind.
class CryptoFailure : public Error {
 public:
  using Error::Error;
};

// OsError: the operating system refused a file operation (a Python OSError
// of the kind |code| names, such as FileNotFoundError for ENOENT). |code| is
// the errno value, or 0 for a failure that has no errno (what() then says
// what went wrong); |path| names the file concerned.
class OsError : public Error {
 public:
  OsError(int code, std::string path);
  OsError(const std::string& message, std::string path);
  int code() const { return code_; }
  const std::string& path() const { return path_; }

 private:
  int code_;
  std::string path_;
};

}  // namespace velna
