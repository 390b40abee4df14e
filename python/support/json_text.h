// JSON text as the system writes and reads it: payload plaintexts, container
// headers and key-file sections. The text is that of the JSON library's
// default options, so stored data stays byte-for-byte compatible.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <memory>
#include <string_view>

#include "velna_py.h"

namespace velna::py::json {

// dumps writes |value| as JSON text: ", " and ": " separators, no line
// breaks, every character outside printable ASCII as a lower-case \uXXXX
// escape (a surrogate pair above U+FFFF), floats as their repr with NaN,
// Infinity and -Infinity, members in the mapping's own order. Byte strings
// are written as their UTF-8 text; objects with a callable _asdict() as
// objects; tuples as arrays; Decimal as its str. Raises TypeError
// "Object of type X is not JSON serializable" for other values, TypeError
// "keys must be str, int, float, bool or None, not X" for other keys,
// ValueError "Circular reference detected" for a container inside itself and
// RecursionError for nesting deeper than the interpreter allows.
VELNA_PY_API pybind11::str dumps(pybind11::handle value);

// loads parses JSON text given as str or bytes (UTF-8, a leading BOM
// skipped). NaN, Infinity and -Infinity are accepted, integers are exact,
// lone surrogates in \u escapes are kept and a repeated member name keeps
// its last value at its first position. Malformed text raises decode_error()
// with a message such as "Expecting value: line 1 column 1 (char 0)"; bytes
// that are not UTF-8 raise UnicodeDecodeError; any other type raises
// TypeError; nesting deeper than the interpreter allows raises
// RecursionError.
VELNA_PY_API pybind11::object loads(pybind11::handle text);

// decode_error is the ValueError subclass "JSONDecodeError" that loads
// raises: one class per interpreter, shared by every module. Its instances
// carry msg, doc, pos, end, lineno, colno, endlineno and endcolno.
VELNA_PY_API pybind11::handle decode_error();

// Reader reads one JSON document step by step, each value as loads reads
// it, for a caller that builds its own objects from a document of a known
// shape (the key server's pages of events). A step that does not find what
// it looks for returns false and moves nothing; value() returns a new
// reference, or null with the error loads would raise for the text there.
class VELNA_PY_API Reader {
 public:
  explicit Reader(PyObject* doc);  // a str, held by the caller; a leading BOM is skipped
  // Reader of UTF-8 text held by the caller, read where it stands, each
  // string decoded on its own. Bytes that are not UTF-8 fail to read
  // (ValueError) where they stand; loads reports them for the whole text.
  Reader(const char* utf8, std::size_t n);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  bool take(char c);  // after blanks, |c| stands next: it is passed
  bool at(char c);    // after blanks, |c| stands next
  bool end();         // after blanks, the document ends
  PyObject* value();
  // ascii_string: a string stands next without escapes and all ASCII; |text|
  // is its content until the next step.
  bool ascii_string(std::string_view& text);
  bool null();  // "null" stands next: it is passed

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// ---- readers for one kind of answer --------------------------------------
//
// A caller that knows what an answer holds may decode its body straight into
// its own objects. It arms a BodyReader on this thread for the request whose
// query is the very object |token|; the key-server session claims the reader
// for that request alone, right before it decodes the answer, and the HTTP
// layer's decoding then hands the body to it. read returns a new reference
// (the reader is then disarmed), or null without an error when the body is
// not of its kind (it is then decoded as usual); null with an error set is a
// failure.
class BodyReader {
 public:
  virtual PyObject* read(PyObject* content) = 0;

 protected:
  ~BodyReader() = default;
};

// arm_reader arms |reader| for the request with the query |token| (null
// disarms); claim_reader claims it when |token| is that query, release_claim
// ends the claim; claimed_reader is the reader claimed now, or null.
VELNA_PY_API void arm_reader(BodyReader* reader, PyObject* token);
VELNA_PY_API void claim_reader(PyObject* token);
VELNA_PY_API void release_claim();
VELNA_PY_API BodyReader* claimed_reader();

// ArmedReader arms |reader| for as long as it lives.
class ArmedReader {
 public:
  ArmedReader(BodyReader* reader, PyObject* token) { arm_reader(reader, token); }
  ~ArmedReader() { arm_reader(nullptr, nullptr); }
  ArmedReader(const ArmedReader&) = delete;
  ArmedReader& operator=(const ArmedReader&) = delete;
};

}  // namespace velna::py::json
