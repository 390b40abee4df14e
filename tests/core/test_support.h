// Helpers shared by the core's tests: hex, the vector files of
// python3-cryptography-vectors, failure checks and the recording log sink.
#pragma once

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "velna/bytes.h"
#include "velna/log.h"

namespace velna::test {

inline Bytes unhex(std::string_view hex) {
  if (hex.size() % 2) throw std::invalid_argument("odd hex length: " + std::string(hex));
  Bytes out(hex.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<std::uint8_t>(std::stoul(std::string(hex.substr(2 * i, 2)), nullptr, 16));
  return out;
}

inline Bytes to_vec(ByteView b) { return Bytes(b.begin(), b.end()); }

// left_pad widens a big-endian number to |width| bytes.
inline Bytes left_pad(Bytes b, std::size_t width) {
  while (b.size() < width) b.insert(b.begin(), 0);
  return b;
}

inline std::string vector_path(const std::string& rel) {
  return std::string(VELNA_VECTORS_DIR) + "/" + rel;
}

// Record is one block of "Name = Value" lines of a vector file; |section| is
// the latest bracketed line without '=', |attrs| the bracketed "a = b" lines.
struct Record {
  std::string file;
  int line = 0;
  std::string section;
  std::map<std::string, std::string> attrs;
  std::map<std::string, std::string> fields;

  const std::string& at(const std::string& key) const {
    auto it = fields.find(key);
    if (it == fields.end()) throw std::out_of_range(name() + ": no field " + key);
    return it->second;
  }
  bool has(const std::string& key) const { return fields.count(key) != 0; }
  std::string name() const {
    std::string n = file + ":" + std::to_string(line);
    if (!section.empty()) n += " [" + section + "]";
    if (has("COUNT")) n += " COUNT=" + fields.at("COUNT");
    return n;
  }
};

inline std::string trim(std::string s) {
  auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && is_space(s.back())) s.pop_back();
  std::size_t i = 0;
  while (i < s.size() && is_space(s[i])) ++i;
  return s.substr(i);
}

inline std::vector<Record> read_records(const std::string& rel) {
  std::ifstream in(vector_path(rel));
  if (!in) throw std::runtime_error("cannot open vector file " + vector_path(rel));
  std::vector<Record> out;
  Record current;
  current.file = std::filesystem::path(rel).filename().string();
  std::string section;
  std::map<std::string, std::string> attrs;
  auto flush = [&] {
    if (!current.fields.empty()) out.push_back(current);
    current.fields.clear();
  };
  std::string raw;
  int line_no = 0;
  while (std::getline(in, raw)) {
    ++line_no;
    std::string line = trim(raw);
    if (line.empty()) {
      flush();
      continue;
    }
    if (line[0] == '#') continue;
    if (line[0] == '[') {
      flush();
      std::string inner = line.substr(1, line.find(']') - 1);
      auto eq = inner.find('=');
      if (eq == std::string::npos) {
        section = trim(inner);
      } else {
        attrs[trim(inner.substr(0, eq))] = trim(inner.substr(eq + 1));
      }
      continue;
    }
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (current.fields.empty()) {
      current.line = line_no;
      current.section = section;
      current.attrs = attrs;
    }
    current.fields[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
  }
  flush();
  return out;
}

// expect_failure runs |f|, which must throw E (with |message| when given),
// and checks that the failure left nothing on OpenSSL's error queue.
template <typename E>
void expect_failure(const std::function<void()>& f, const std::string& name,
                    std::string_view message = {}) {
  ERR_clear_error();
  try {
    f();
    ADD_FAILURE() << name << ": no exception";
  } catch (const E& e) {
    if (!message.empty()) {
      EXPECT_EQ(std::string_view(e.what()), message) << name;
    }
  } catch (const std::exception& e) {
    ADD_FAILURE() << name << ": unexpected exception " << typeid(e).name() << ": " << e.what();
  }
  EXPECT_EQ(ERR_peek_error(), 0ul) << name << ": OpenSSL error queue not empty after the failure";
  ERR_clear_error();
}

struct Line {
  std::string logger;
  log::Level level;
  std::string text;
};

// RecordingSink keeps every log line the core writes; tracing() answers
// |trace|.
class RecordingSink : public log::Sink {
 public:
  void write(std::string_view logger, log::Level level, std::string_view text) override {
    lines.push_back({std::string(logger), level, std::string(text)});
  }
  bool tracing() override { return trace; }
  std::vector<Line> lines;
  bool trace = false;
};

// SinkScope installs a recording sink for the life of the scope.
struct SinkScope {
  SinkScope() : sink(std::make_shared<RecordingSink>()) { log::set_sink(sink); }
  ~SinkScope() { log::set_sink(nullptr); }
  std::shared_ptr<RecordingSink> sink;
};

inline Bytes pem_of(EVP_PKEY* pkey, bool private_key, const EVP_CIPHER* cipher = nullptr,
                    bool traditional = false) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  static const char pass[] = "secret";
  int ok = 0;
  if (!private_key)
    ok = PEM_write_bio_PUBKEY(bio.get(), pkey);
  else if (traditional)
    ok = PEM_write_bio_PrivateKey_traditional(
        bio.get(), pkey, cipher, reinterpret_cast<unsigned char*>(const_cast<char*>(pass)),
        cipher ? 6 : 0, nullptr, nullptr);
  else
    ok = PEM_write_bio_PKCS8PrivateKey(bio.get(), pkey, cipher, const_cast<char*>(pass),
                                       cipher ? 6 : 0, nullptr, nullptr);
  if (ok != 1) throw std::runtime_error("PEM writing failed");
  char* data = nullptr;
  long len = BIO_get_mem_data(bio.get(), &data);
  return Bytes(data, data + len);
}

// TempDir is a fresh folder under the system's temporary folder, removed
// with everything in it afterwards.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "velna-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("cannot make a temporary folder");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline Bytes read_file(const std::string& rel) {
  std::ifstream in(vector_path(rel), std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + vector_path(rel));
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

}  // namespace velna::test
