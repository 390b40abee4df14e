// Files of the hashed-path file store: reached without leaving the store's
// root, replaced whole so that a crash or a full disk leaves the old
// content or the new, never a mix, and read whole with checked lengths.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "velna/bytes.h"

namespace velna::store {

// kTemporaryPrefix and kTemporarySuffix frame the random name of the file
// that replace writes before it takes the target's name. A store place is
// eight hex characters, so no place ever has such a name. A process killed
// while it writes may leave one behind; the target is then intact.
inline constexpr std::string_view kTemporaryPrefix = ".";
inline constexpr std::string_view kTemporarySuffix = ".tmp";

// Folders says whether reaching a place makes its missing folders.
enum class Folders { kExisting, kCreate };

// Fd owns one open file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd();

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// FileReader reads one opened file whole.
class FileReader {
 public:
  // size is the file's length when it was opened.
  std::uint64_t size() const { return size_; }
  // read_into fills |out|, which holds exactly size() bytes, with the
  // content. Fails with OsError when the file grew or shrank since it was
  // opened (someone wrote to it in place), or with OsError for a failed read.
  void read_into(MutableByteView out);

 private:
  friend class Place;
  FileReader(Fd fd, std::uint64_t size, std::string path)
      : fd_(std::move(fd)), size_(size), path_(std::move(path)) {}

  Fd fd_;
  std::uint64_t size_;
  std::string path_;
};

// Place is one file of the store, reached below the store's root with its
// folder held open: every operation then works on the file by its name in
// that folder, so a folder renamed or replaced meanwhile cannot lead it
// elsewhere, and a symbolic link at the file itself is never followed.
class Place {
 public:
  // reach opens the folder of |target| below |root|. Both are absolute file
  // system paths; |target| is |root|'s components followed by the place's
  // own, none of which may be "..". A symbolic link among the folders below
  // |root| is followed only when the folder it leads to lies below |root|.
  // Fails with InvalidArgument ("Path {target} lies outside the ZOV at
  // {root}.") when |target| leaves |root|, with OsError EISDIR when it is
  // |root| itself, and with OsError for what the file system refuses (ENOENT
  // for a missing folder with Folders::kExisting). With Folders::kCreate the
  // missing folders are made, each for its owner only (0700), and nothing is
  // made before the folder that holds it was found below |root|.
  static Place reach(std::string_view root, std::string_view target, Folders folders);

  // path is |target| as reach was given it.
  const std::string& path() const { return path_; }

  // replace makes |data| the file's whole content: a new file of a random
  // name (kTemporaryPrefix ...) is created beside it for its owner only
  // (0600, whatever the umask), written whole and flushed to the disk, then
  // renamed over the file, and the folder is flushed. Readers see the old
  // content or the new, never a mix. On failure (OsError) the new file is
  // removed and the old content stays. Fails with InvalidArgument when the
  // file is a symbolic link.
  void replace(ByteView data) const;

  // open_for_reading opens the file without following a symbolic link at
  // it. Fails with OsError (ENOENT when it is missing, EISDIR for a folder,
  // EINVAL for anything but a regular file, EFBIG when its length does not
  // fit in memory here) and with InvalidArgument for a symbolic link.
  FileReader open_for_reading() const;

  // read is the file's whole content (open_for_reading, then read_into).
  Bytes read() const;

  // remove deletes the file and flushes its folder; false when it was
  // already gone. Fails with InvalidArgument for a symbolic link and with
  // OsError for what the file system refuses (EISDIR for a folder).
  bool remove() const;

 private:
  Place(Fd folder, std::string name, std::string path)
      : folder_(std::move(folder)), name_(std::move(name)), path_(std::move(path)) {}

  Fd folder_;
  std::string name_;
  std::string path_;
};

}  // namespace velna::store
