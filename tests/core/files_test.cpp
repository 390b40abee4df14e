// Files of the hashed-path file store on real folders: whole replacement
// under a file-size limit and under kill -9, modes whatever the umask, and
// confinement below the store's root against symbolic links.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "velna/error.h"
#include "velna/store/files.h"

namespace velna::store {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

Bytes slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void put(const fs::path& p, std::string_view text) { std::ofstream(p, std::ios::binary) << text; }

Bytes pattern(std::size_t n, std::uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 12));
  return b;
}

unsigned mode_of(const fs::path& p) {
  struct stat st;
  EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

// Names of everything in |dir|, recursively, relative to it.
std::vector<std::string> listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    names.push_back(e.path().lexically_relative(dir).string());
  std::sort(names.begin(), names.end());
  return names;
}

// os_error runs |f|, which must fail with OsError |code|, and returns it.
OsError os_error(const std::function<void()>& f, int code) {
  try {
    f();
  } catch (const OsError& e) {
    EXPECT_EQ(e.code(), code) << e.what();
    return e;
  }
  ADD_FAILURE() << "no OsError";
  return OsError(0, "");
}

// UmaskScope sets the process's umask for the life of the scope.
struct UmaskScope {
  explicit UmaskScope(mode_t m) : before(::umask(m)) {}
  ~UmaskScope() { ::umask(before); }
  mode_t before;
};

// in_child runs |f| in a forked child with the file-size limit |limit| and
// returns what it reports: 0 when |f| returned, the errno of an OsError,
// or 255 for anything else.
int in_child(rlim_t limit, const std::function<void()>& f) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG
    rlimit r{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &r);
    int code = 255;
    try {
      f();
      code = 0;
    } catch (const OsError& e) {
      code = e.code();
    } catch (...) {
    }
    ::_exit(code);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(StoreFiles, ReplaceWritesWholeFilesForTheOwnerOnlyWhateverTheUmask) {
  for (mode_t mask : {mode_t{0}, mode_t{022}, mode_t{077}, mode_t{0277}}) {
    SCOPED_TRACE(mask);
    TempDir dir;
    UmaskScope scope(mask);
    fs::path target = dir.path() / "aa" / "bb" / "file";
    Place place = Place::reach(dir.path().string(), target.string(), Folders::kCreate);
    EXPECT_EQ(place.path(), target.string());
    place.replace(as_bytes("first"));
    Bytes second = pattern(300000, 3);
    Place::reach(dir.path().string(), target.string(), Folders::kExisting).replace(second);
    EXPECT_EQ(slurp(target), second);
    EXPECT_EQ(place.read(), second);
    EXPECT_EQ(mode_of(target), 0600u);
    EXPECT_EQ(mode_of(dir.path() / "aa"), 0700u);
    EXPECT_EQ(mode_of(dir.path() / "aa" / "bb"), 0700u);
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"aa", "aa/bb", "aa/bb/file"}));
    place.replace({});
    EXPECT_TRUE(place.read().empty());
  }
}

TEST(StoreFiles, AFailedReplaceLeavesTheOldFileAndNoTemporary) {
  TempDir dir;
  fs::path target = dir.path() / "file";
  const std::string old_text = "the old content";
  Bytes big = pattern(1 << 20, 9);
  // Limits below the new content, at the edge of a chunk and at zero.
  for (rlim_t limit : {rlim_t{0}, rlim_t{1}, rlim_t{4096}, rlim_t{(1 << 20) - 1}}) {
    SCOPED_TRACE(limit);
    put(target, old_text);
    int got = in_child(limit, [&] {
      Place::reach(dir.path().string(), target.string(), Folders::kExisting).replace(big);
    });
    EXPECT_EQ(got, EFBIG);
    EXPECT_EQ(slurp(target), Bytes(old_text.begin(), old_text.end()));
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"file"}));
  }
  // A folder where the file should be: the rename fails, the folder stays.
  fs::create_directory(dir.path() / "folder");
  Place at_folder =
      Place::reach(dir.path().string(), (dir.path() / "folder").string(), Folders::kExisting);
  os_error([&] { at_folder.replace(big); }, EISDIR);
  EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"file", "folder"}));
}

TEST(StoreFiles, AKilledWriterLeavesTheOldOrTheNewFileNeverAMix) {
  TempDir dir;
  fs::path target = dir.path() / "blob";
  const Bytes a = pattern(2 << 20, 1), b = pattern(2 << 20, 2);
  put(target, std::string(as_chars(a)));
  const std::string root = dir.path().string();
  for (int round = 0; round < 24; ++round) {
    pid_t pid = ::fork();
    if (pid == 0) {
      try {
        Place place = Place::reach(root, target.string(), Folders::kExisting);
        for (int i = 0;; ++i) place.replace(i % 2 ? a : b);
      } catch (...) {
      }
      ::_exit(1);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(300 + 800 * round));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    Bytes now = slurp(target);
    EXPECT_TRUE(now == a || now == b) << "round " << round << ": " << now.size() << " bytes";
    if (now == b) {
      EXPECT_EQ(mode_of(target), 0600u);
    }
  }
  // Temporaries a kill left behind never take a place's name.
  for (const auto& name : listing(dir.path())) {
    if (name == "blob") continue;
    EXPECT_TRUE(name.starts_with(kTemporaryPrefix) && name.ends_with(kTemporarySuffix)) << name;
  }
}

TEST(StoreFiles, PathsThatLeaveTheRootAreRefusedBeforeAnythingIsMade) {
  TempDir dir;
  const fs::path root = dir.path() / "root", outside = dir.path() / "outside";
  fs::create_directories(root / "in");
  fs::create_directory(outside);
  put(outside / "secret", "outside");
  fs::create_directory_symlink(outside, root / "out");
  fs::create_directory_symlink(dir.path(), root / "up");
  fs::create_directory_symlink(root / "in", root / "in-link");
  fs::create_symlink(outside / "secret", root / "in" / "file-link");
  const std::string r = root.string();
  struct Case {
    std::string target;
  } refused[] = {
      {(outside / "x").string()},
      {(root / ".." / "outside" / "x").string()},
      {(root / "in" / ".." / ".." / "outside" / "x").string()},
      {(dir.path() / "rootx" / "x").string()},  // a name that merely starts like the root
      {"relative/x"},
      {(root / "out" / "x").string()},
      {(root / "out" / "new" / "deeper" / "x").string()},
      {(root / "up" / "outside" / "x").string()},
      {(root / "up" / "root" / "in" / "x").string()},  // out and back in: out is refused
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.target);
    for (Folders f : {Folders::kExisting, Folders::kCreate}) {
      try {
        Place::reach(r, c.target, f).replace(as_bytes("x"));
        ADD_FAILURE() << "not refused";
      } catch (const InvalidArgument& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Path " + c.target + " lies outside the ZOV at " + r + ".");
      }
    }
  }
  EXPECT_EQ(listing(outside), (std::vector<std::string>{"secret"}));
  os_error([&] { Place::reach(r, r, Folders::kCreate); }, EISDIR);
  os_error([&] { Place::reach(r, r + "/", Folders::kCreate); }, EISDIR);
  // A link among the folders that stays below the root is followed.
  Place::reach(r, r + "/in-link/new/file", Folders::kCreate).replace(as_bytes("inside"));
  EXPECT_EQ(slurp(root / "in" / "new" / "file"), Bytes({'i', 'n', 's', 'i', 'd', 'e'}));
}

TEST(StoreFiles, ALinkAtThePlaceItselfIsNeverFollowed) {
  TempDir dir;
  const fs::path root = dir.path() / "root", outside = dir.path() / "secret";
  fs::create_directory(root);
  put(outside, "outside");
  fs::create_symlink(outside, root / "link");
  fs::create_symlink(dir.path() / "missing", root / "dangling");
  for (const char* name : {"link", "dangling"}) {
    SCOPED_TRACE(name);
    Place place = Place::reach(root.string(), (root / name).string(), Folders::kExisting);
    const std::string message =
        "Path " + place.path() + " is a symbolic link, which the ZOV does not follow.";
    for (const std::function<void()>& op :
         std::vector<std::function<void()>>{[&] { place.replace(as_bytes("new")); },
                                            [&] { place.read(); }, [&] { place.remove(); }}) {
      try {
        op();
        ADD_FAILURE() << "not refused";
      } catch (const InvalidArgument& e) {
        EXPECT_EQ(std::string(e.what()), message);
      }
    }
    EXPECT_TRUE(fs::is_symlink(root / name));
  }
  EXPECT_EQ(slurp(outside), Bytes({'o', 'u', 't', 's', 'i', 'd', 'e'}));
  EXPECT_FALSE(fs::exists(dir.path() / "missing"));
  EXPECT_EQ(listing(root), (std::vector<std::string>{"dangling", "link"}));
}

TEST(StoreFiles, ReadingGivesTheWholeFileOrAnError) {
  TempDir dir;
  const std::string r = dir.path().string();
  auto at = [&](const std::string& name, Folders f = Folders::kExisting) {
    return Place::reach(r, r + "/" + name, f);
  };
  at("file").replace(as_bytes("content"));
  EXPECT_EQ(at("file").read(), Bytes({'c', 'o', 'n', 't', 'e', 'n', 't'}));
  os_error([&] { at("missing").read(); }, ENOENT);
  os_error([&] { at("no/such/folder/file"); }, ENOENT);
  EXPECT_FALSE(fs::exists(dir.path() / "no"));
  fs::create_directory(dir.path() / "folder");
  os_error([&] { at("folder").read(); }, EISDIR);
  ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
  os_error([&] { at("fifo").read(); }, EINVAL);  // and does not wait for a writer
  put(dir.path() / "plain", "x");
  os_error([&] { at("plain/file", Folders::kCreate); }, ENOTDIR);

  // A file written in place while it is read: the length read is the length
  // opened, and a change is an error, not a short or a long result.
  for (std::string_view change : {"grow", "shrink"}) {
    SCOPED_TRACE(change);
    at("file").replace(as_bytes("0123456789"));
    FileReader reader = at("file").open_for_reading();
    ASSERT_EQ(reader.size(), 10u);
    if (change == "grow")
      std::ofstream(dir.path() / "file", std::ios::app) << "more";
    else
      fs::resize_file(dir.path() / "file", 4);
    Bytes out(10);
    OsError e = os_error([&] { reader.read_into(out); }, 0);
    EXPECT_EQ(std::string(e.what()), "The file at " + r + "/file changed while it was read.");
  }
  // Replaced while open: the reader keeps the whole old file.
  at("file").replace(as_bytes("old"));
  FileReader reader = at("file").open_for_reading();
  at("file").replace(as_bytes("newer"));
  Bytes out(reader.size());
  reader.read_into(out);
  EXPECT_EQ(out, Bytes({'o', 'l', 'd'}));
}

TEST(StoreFiles, RemoveTellsWhetherTheFileWasThere) {
  TempDir dir;
  const std::string r = dir.path().string();
  Place place = Place::reach(r, r + "/a/file", Folders::kCreate);
  place.replace(as_bytes("x"));
  EXPECT_TRUE(place.remove());
  EXPECT_FALSE(place.remove());
  EXPECT_TRUE(fs::is_directory(dir.path() / "a"));
  os_error([&] { Place::reach(r, r + "/a", Folders::kExisting).remove(); }, EISDIR);
  EXPECT_TRUE(fs::is_directory(dir.path() / "a"));
}

}  // namespace
}  // namespace velna::store
