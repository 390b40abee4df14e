// Helpers shared by the core's tests: hex, the vector files of
// python3-cryptography-vectors, failure checks, the recording log sink and
// a scripted HTTP server on 127.0.0.1.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
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

// RecordingSink keeps every log line the core writes.
class RecordingSink : public log::Sink {
 public:
  void write(std::string_view logger, log::Level level, std::string_view text) override {
    lines.push_back({std::string(logger), level, std::string(text)});
  }
  std::vector<Line> lines;
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

// ---- a scripted HTTP server -------------------------------------------------

// bound_socket is a TCP socket bound to a free port of 127.0.0.1.
inline int bound_socket(int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

// TestServer answers every request with the next scripted answer (or 200
// "ok"), keeps connections open, and records what it received.
class TestServer {
 public:
  struct Seen {
    std::string head;
    std::string body;
  };

  TestServer() {
    fd_ = bound_socket(port_);
    ::listen(fd_, 16);
    thread_ = std::thread([this] { serve(); });
  }
  ~TestServer() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
    for (auto& t : workers_) t.join();
  }

  std::string url(const std::string& path = "/") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  // script queues |raw_answer| for the next request, sent after |delay|;
  // with |drip|, its head goes at once and its body two bytes every |drip|.
  void script(std::string raw_answer, std::chrono::milliseconds delay = {},
              std::chrono::milliseconds drip = {}) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_back({std::move(raw_answer), delay, drip});
  }
  std::vector<Seen> seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  int connections() const { return connections_; }

 private:
  struct Answer {
    std::string raw;
    std::chrono::milliseconds delay;
    std::chrono::milliseconds drip;
  };

  void serve() {
    while (!stop_) {
      int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      ++connections_;
      workers_.emplace_back([this, c] { handle(c); });
    }
  }

  void handle(int c) {
    std::string buffer;
    char chunk[4096];
    while (true) {
      std::size_t end;
      while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = ::recv(c, chunk, sizeof chunk, 0);
        if (n <= 0) return void(::close(c));
        buffer.append(chunk, static_cast<std::size_t>(n));
      }
      Seen s{buffer.substr(0, end + 4), ""};
      std::size_t length = 0;
      if (auto at = lower(s.head).find("content-length:"); at != std::string::npos)
        length = std::stoul(s.head.substr(at + 15));
      buffer.erase(0, end + 4);
      while (buffer.size() < length) {
        ssize_t n = ::recv(c, chunk, sizeof chunk, 0);
        if (n <= 0) return void(::close(c));
        buffer.append(chunk, static_cast<std::size_t>(n));
      }
      s.body = buffer.substr(0, length);
      buffer.erase(0, length);
      Answer a{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", {}, {}};
      {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back(s);
        if (!answers_.empty()) {
          a = answers_.front();
          answers_.erase(answers_.begin());
        }
      }
      std::this_thread::sleep_for(a.delay);
      if (a.drip.count() == 0) {
        ::send(c, a.raw.data(), a.raw.size(), MSG_NOSIGNAL);
        continue;
      }
      std::size_t at = a.raw.find("\r\n\r\n") + 4;
      ::send(c, a.raw.data(), at, MSG_NOSIGNAL);
      for (; at < a.raw.size() && !stop_; at += 2) {
        std::this_thread::sleep_for(a.drip);
        if (::send(c, a.raw.data() + at, std::min<std::size_t>(2, a.raw.size() - at),
                   MSG_NOSIGNAL) < 0)
          break;
      }
      return void(::close(c));
    }
  }

  static std::string lower(std::string s) {
    for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return s;
  }

  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::vector<Answer> answers_;
  std::vector<Seen> seen_;
};

// filler is a body of |n| bytes in stretches of 100000, the i-th all the
// letter 'a' + i % 26, so that a byte out of place shows.
inline std::string filler(std::size_t n) {
  std::string out(n, '\0');
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>('a' + i / 100000 % 26);
  return out;
}

// chunked_answer is a 200 answer with the header lines |fields| (each ending
// in CRLF) and Transfer-Encoding chunked, whose body filler(n) comes in
// chunks of its stretches.
inline std::string chunked_answer(std::string_view fields, std::size_t n) {
  const std::string body = filler(n);
  std::string raw =
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n" + std::string(fields) + "\r\n";
  for (std::size_t sent = 0; sent < n;) {
    const std::size_t k = std::min<std::size_t>(n - sent, 100000);
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", k);
    raw += size + body.substr(sent, k) + "\r\n";
    sent += k;
  }
  return raw + "0\r\n\r\n";
}

inline int closed_port() {
  int port = 0;
  ::close(bound_socket(port));
  return port;
}

}  // namespace velna::test
