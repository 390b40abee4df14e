#include "velna/store/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <limits>
#include <vector>

#include "velna/crypto/random.h"
#include "velna/error.h"

namespace velna::store {
namespace {

// kMaxChunk bounds one read or write call, far below SSIZE_MAX also on
// 32-bit systems.
constexpr std::size_t kMaxChunk = std::size_t{1} << 30;
// kMaxUpwardSteps bounds the walk from a folder up to the file system's
// root; a folder deeper than that is not taken to lie below the store.
constexpr int kMaxUpwardSteps = 4096;
// kTemporaryAttempts random names are tried before a replace gives up.
constexpr int kTemporaryAttempts = 8;
constexpr std::size_t kTemporaryRandomBytes = 8;

[[noreturn]] void fail(int code, std::string_view path) { throw OsError(code, std::string(path)); }

[[noreturn]] void outside(std::string_view root, std::string_view target) {
  throw InvalidArgument("Path " + std::string(target) + " lies outside the ZOV at " +
                        std::string(root) + ".");
}

[[noreturn]] void refuse_link(std::string_view path) {
  throw InvalidArgument("Path " + std::string(path) +
                        " is a symbolic link, which the ZOV does not follow.");
}

// components are the names of |path| between slashes; empty names and "."
// say nothing and are left out.
std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t at = 0;
  while (at <= path.size()) {
    std::size_t end = std::min(path.find('/', at), path.size());
    std::string_view part = path.substr(at, end - at);
    if (!part.empty() && part != ".") parts.push_back(part);
    at = end + 1;
  }
  return parts;
}

// below_root is what |target| names after |root|'s components.
std::vector<std::string> below_root(std::string_view root, std::string_view target) {
  auto r = components(root), t = components(target);
  bool same_anchor = root.starts_with('/') == target.starts_with('/');
  if (!same_anchor || t.size() < r.size() || !std::equal(r.begin(), r.end(), t.begin()))
    outside(root, target);
  std::vector<std::string> rest(t.begin() + static_cast<std::ptrdiff_t>(r.size()), t.end());
  if (std::find(rest.begin(), rest.end(), "..") != rest.end()) outside(root, target);
  if (rest.empty()) fail(EISDIR, target);
  return rest;
}

Fd open_at(int at, const std::string& name, int flags, mode_t mode = 0) {
  for (;;) {
    int fd = ::openat(at, name.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EINTR) return Fd(fd);
  }
}

Fd open_folder(int at, const std::string& name, bool follow) {
  return open_at(at, name, O_RDONLY | O_DIRECTORY | (follow ? 0 : O_NOFOLLOW));
}

bool is_link(int folder, const std::string& name) {
  struct stat st;
  return ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// lies_below tells whether the folder |fd| is |root| or lies below it,
// walking up through ".." from the folder itself, so that what counts is
// where the folder is, not the names that led to it.
bool lies_below(int fd, const struct stat& root, std::string_view path) {
  Fd here = open_at(fd, ".", O_PATH | O_DIRECTORY);
  struct stat st;
  if (!here || ::fstat(here.get(), &st) != 0) fail(errno, path);
  for (int step = 0; step < kMaxUpwardSteps; ++step) {
    if (same_file(st, root)) return true;
    Fd up = open_at(here.get(), "..", O_PATH | O_DIRECTORY);
    struct stat up_st;
    if (!up || ::fstat(up.get(), &up_st) != 0) fail(errno, path);
    if (same_file(up_st, st)) return false;  // the file system's root
    here = std::move(up);
    st = up_st;
  }
  return false;
}

// sync_folder flushes a folder's entries to the disk. A file system that
// cannot flush a folder (EINVAL) keeps them as well as it can.
void sync_folder(int fd, std::string_view path) {
  if (::fsync(fd) != 0 && errno != EINVAL) fail(errno, path);
}

void write_all(int fd, ByteView data, std::string_view path) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, std::min(data.size() - done, kMaxChunk));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(errno, path);
    if (n == 0) fail(EIO, path);
    done += static_cast<std::size_t>(n);
  }
}

// Temporary is the name of a new file in a folder, removed again unless it
// was kept.
class Temporary {
 public:
  Temporary(int folder, std::string name) : folder_(folder), name_(std::move(name)) {}
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;
  ~Temporary() {
    if (!kept_) ::unlinkat(folder_, name_.c_str(), 0);
  }
  void keep() { kept_ = true; }

 private:
  int folder_;
  std::string name_;
  bool kept_ = false;
};

}  // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Place Place::reach(std::string_view root, std::string_view target, Folders folders) {
  std::vector<std::string> rest = below_root(root, target);
  Fd folder = open_folder(AT_FDCWD, std::string(root), true);
  struct stat root_st;
  if (!folder || ::fstat(folder.get(), &root_st) != 0) fail(errno, target);
  for (std::size_t i = 0; i + 1 < rest.size(); ++i) {
    const std::string& name = rest[i];
    bool made = false;
    Fd next = open_folder(folder.get(), name, false);
    int err = errno;
    if (!next && err == ENOENT && folders == Folders::kCreate) {
      if (::mkdirat(folder.get(), name.c_str(), 0700) == 0)
        made = true;
      else if (errno != EEXIST)
        fail(errno, target);
      next = open_folder(folder.get(), name, false);
      err = errno;
    }
    if (!next && (err == ELOOP || err == ENOTDIR) && is_link(folder.get(), name)) {
      next = open_folder(folder.get(), name, true);
      err = errno;
      if (next && !lies_below(next.get(), root_st, target)) outside(root, target);
    }
    if (!next) fail(err, target);
    // The umask may have taken the owner's own rights.
    if (made && ::fchmod(next.get(), 0700) != 0) fail(errno, target);
    folder = std::move(next);
  }
  return Place(std::move(folder), std::move(rest.back()), std::string(target));
}

void Place::replace(ByteView data) const {
  if (is_link(folder_.get(), name_)) refuse_link(path_);
  Fd out;
  std::string name;
  for (int i = 0; i < kTemporaryAttempts && !out; ++i) {
    name = std::string(kTemporaryPrefix) + to_hex(random_bytes(kTemporaryRandomBytes)) +
           std::string(kTemporarySuffix);
    out = open_at(folder_.get(), name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (!out && errno != EEXIST) fail(errno, path_);
  }
  if (!out) fail(EEXIST, path_);
  Temporary temporary(folder_.get(), name);
  if (::fchmod(out.get(), 0600) != 0) fail(errno, path_);
  write_all(out.get(), data, path_);
  if (::fsync(out.get()) != 0) fail(errno, path_);
  if (::close(out.release()) != 0) fail(errno, path_);
  if (::renameat(folder_.get(), name.c_str(), folder_.get(), name_.c_str()) != 0)
    fail(errno, path_);
  temporary.keep();
  sync_folder(folder_.get(), path_);
}

FileReader Place::open_for_reading() const {
  // O_NONBLOCK keeps a FIFO at the place from holding the open up; it
  // changes nothing for a regular file.
  Fd fd = open_at(folder_.get(), name_, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  if (!fd) {
    int err = errno;
    if (err == ELOOP && is_link(folder_.get(), name_)) refuse_link(path_);
    fail(err, path_);
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) fail(errno, path_);
  if (S_ISDIR(st.st_mode)) fail(EISDIR, path_);
  if (!S_ISREG(st.st_mode)) fail(EINVAL, path_);
  if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) >
                            static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max()))
    fail(EFBIG, path_);
  return FileReader(std::move(fd), static_cast<std::uint64_t>(st.st_size), path_);
}

void FileReader::read_into(MutableByteView out) {
  if (out.size() != size_) throw InvalidArgument("read_into needs a buffer of the file's length");
  auto changed = [&] {
    throw OsError("The file at " + path_ + " changed while it was read.", path_);
  };
  std::size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::read(fd_.get(), out.data() + done, std::min(out.size() - done, kMaxChunk));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(errno, path_);
    if (n == 0) changed();  // it shrank
    done += static_cast<std::size_t>(n);
  }
  for (;;) {  // one byte more: it grew
    std::uint8_t more;
    ssize_t n = ::read(fd_.get(), &more, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(errno, path_);
    if (n > 0) changed();
    return;
  }
}

Bytes Place::read() const {
  FileReader reader = open_for_reading();
  Bytes out(static_cast<std::size_t>(reader.size()));
  reader.read_into(out);
  return out;
}

bool Place::remove() const {
  struct stat st;
  if (::fstatat(folder_.get(), name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return false;
    fail(errno, path_);
  }
  if (S_ISLNK(st.st_mode)) refuse_link(path_);
  if (::unlinkat(folder_.get(), name_.c_str(), 0) != 0) {
    if (errno == ENOENT) return false;
    fail(errno, path_);
  }
  sync_folder(folder_.get(), path_);
  return true;
}

}  // namespace velna::store
