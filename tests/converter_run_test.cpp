// Whole runs of the built converter: arguments, files, streams, messages and
// exit status, as a makefile would see them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const fs::path kConverter = HTTP2RETLW_CONVERTER;
const fs::path kSourceDir = HTTP2RETLW_SOURCE_DIR;
// How a cross-built converter is started (qemu-user and its options); empty
// when the tests run on the converter's own host.
const std::vector<std::string> kEmulator = {HTTP2RETLW_EMULATOR};
// A library that makes closing standard output fail when preloaded; empty
// where none is built (cross builds).
const std::string kCloseFailsShim = HTTP2RETLW_CLOSE_FAILS_SHIM;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

// What the child sets up besides its streams and folder: which converter it
// starts, the limits it runs under and variables added to its environment.
// Past the file-size limit a write fails (SIGXFSZ is ignored) instead of
// ending the process.
struct ChildSetup {
  fs::path converter = kConverter;
  rlim_t file_size = RLIM_INFINITY;
  rlim_t address_space = RLIM_INFINITY;
  std::vector<std::pair<std::string, std::string>> environment;
};

// Runs the converter in `workdir` with the given words after the command
// word. Standard output goes to a file, or to `stdout_path` when given.
RunResult run(const fs::path& workdir, const std::vector<std::string>& args,
              const char* stdout_path = nullptr,
              const std::string& command_word = "http2retlw",
              const ChildSetup& setup = {}) {
  // Named per test process, so tests may run in parallel.
  const std::string stem = "h2r_" + std::to_string(getpid());
  const fs::path out_file = fs::path(testing::TempDir()) / (stem + ".out");
  const fs::path err_file = fs::path(testing::TempDir()) / (stem + ".err");
  fs::remove(out_file);
  const std::string out_target = stdout_path ? stdout_path : out_file.string();

  // qemu's -0 hands the converter the command word as argv[0], as execv
  // does natively.
  std::vector<std::string> words = kEmulator;
  if (!kEmulator.empty())
    words.insert(words.end(), {"-0", command_word, setup.converter.string()});
  else
    words.push_back(command_word);
  words.insert(words.end(), args.begin(), args.end());
  const std::string file =
      kEmulator.empty() ? setup.converter.string() : words[0];
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  const pid_t child = fork();
  if (child == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out =
        open(out_target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || chdir(workdir.c_str()) != 0) _exit(99);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    const rlimit file_size = {setup.file_size, setup.file_size};
    const rlimit address_space = {setup.address_space, setup.address_space};
    if (signal(SIGXFSZ, SIG_IGN) == SIG_ERR ||
        signal(SIGPIPE, SIG_DFL) == SIG_ERR ||
        (setup.file_size != RLIM_INFINITY &&
         setrlimit(RLIMIT_FSIZE, &file_size) != 0) ||
        (setup.address_space != RLIM_INFINITY &&
         setrlimit(RLIMIT_AS, &address_space) != 0)) {
      _exit(97);
    }
    for (const auto& [name, value] : setup.environment) {
      if (setenv(name.c_str(), value.c_str(), 1) != 0) _exit(97);
    }
    execvp(file.c_str(), argv.data());
    _exit(98);
  }
  RunResult result;
  int wait_status = 0;
  waitpid(child, &wait_status, 0);
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  if (!stdout_path) result.out = read_file(out_file);
  result.err = read_file(err_file);
  fs::remove(out_file);
  fs::remove(err_file);
  return result;
}

// Equal, or where the two first differ: a diff of two 786 KB tables would
// bury the answer.
testing::AssertionResult same_text(const std::string& got,
                                   const std::string& want) {
  const auto differ =
      std::mismatch(got.begin(), got.end(), want.begin(), want.end());
  if (differ.first == got.end() && differ.second == want.end()) {
    return testing::AssertionSuccess();
  }
  const auto at = static_cast<std::size_t>(differ.first - got.begin());
  const std::size_t from = at < 24 ? 0 : at - 24;
  return testing::AssertionFailure()
         << got.size() << " bytes, want " << want.size()
         << "; they differ from byte " << at << ":\n  got  "
         << testing::PrintToString(got.substr(from, 48)) << "\n  want "
         << testing::PrintToString(want.substr(from, 48));
}

// The table for `completed`, the response as the fill-in must leave it,
// worked out apart from the converter: its RFC 1071 sum word by word, and
// every line printed on its own.
std::string expected_table(char tag, std::string_view completed) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < completed.size(); ++i) {
    sum += static_cast<std::uint64_t>(static_cast<unsigned char>(completed[i]))
           << (i % 2 == 0 ? 8 : 0);
  }
  while (sum > 0xFFFF) sum = (sum >> 16) + (sum & 0xFFFF);
  std::string table = "\n\tretlw\t'"s + tag + "'\n";
  const auto line = [&table](std::uint64_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "\tretlw\t0x%02X\n",
                  static_cast<unsigned>(value));
    table += text;
  };
  line((completed.size() >> 8) & 0xFF);
  line(completed.size() & 0xFF);
  line(sum >> 8);
  line(sum & 0xFF);
  for (const char c : completed) line(static_cast<unsigned char>(c));
  return table + "\n\n";
}

// The path the system reports for the running converter: symlinks resolved.
std::string program_path() { return fs::canonical(kConverter).string(); }

class ConverterRun : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(testing::TempDir()) /
           ("h2r_" + std::to_string(getpid()) + "_" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
};

// A directory whose file system gives it a size past the input limit
// (ext4 seeks its end to 2^63 - 1), where one is found, so that a missing
// regular-file check shows as "too large"; tmpfs and procfs give none, and
// the temporary folder is often one of them.
std::string sized_directory() {
  for (const fs::path& dir :
       {fs::path(testing::TempDir()), kSourceDir, fs::path("/")}) {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) continue;
    const off_t end = lseek(fd, 0, SEEK_END);
    close(fd);
    if (end > INT_MAX) return dir.string();
  }
  return ".";
}

TEST_F(ConverterRun, MatchesGoldenTables) {
  struct Case {
    fs::path workdir;
    std::string input;
    fs::path golden;
  };
  std::vector<Case> cases = {{kSourceDir / "examples", "index.htm",
                              kSourceDir / "tests/data/example_index.asm"}};
  for (const auto& entry : fs::directory_iterator(kSourceDir / "tests/data")) {
    if (entry.path().extension() != ".htm") continue;
    fs::path golden = entry.path();
    cases.push_back({entry.path().parent_path(),
                     entry.path().filename().string(),
                     golden.replace_extension(".asm")});
  }
  ASSERT_GE(cases.size(), 5u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    const RunResult r = run(c.workdir, {c.input});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(same_text(r.out, read_file(c.golden)));
  }
}

TEST_F(ConverterRun, ReportsEachFailureAndWritesNothing) {
  const std::string p = program_path();
  const std::string ok = "HTTP/1.0 200 OK\r\nContent-Length:\r\n\r\nab";
  write_file(dir_ / "page.htm", ok);
  write_file(dir_ / "empty.htm", "");
  write_file(dir_ / "noentry.htm", "HTTP/1.0 200 OK\r\n\r\nab");
  write_file(dir_ / "nodelim.htm", "HTTP/1.0 200 OK\r\nContent-Length:\r\nab");
  write_file(dir_ / "lfonly.htm", "HTTP/1.0 200 OK\nContent-Length:\n\nab");
  write_file(dir_ / "hidden.htm",
             "HTTP/1.0 200 OK\r\n\0Content-Length:\r\n\r\n"s);
  write_file(dir_ / "bare.htm", "Content-Length: \rServer: x\r\n\r\nab");
  write_file(dir_ / "huge.htm",
             "Content-Length:\r\n\r\n" + std::string(65536 - 25, 'x'));
  { std::ofstream sparse(dir_ / "sparse.htm", std::ios::binary); }
  fs::resize_file(dir_ / "sparse.htm", 3ull << 30);
  { std::ofstream over(dir_ / "over.htm", std::ios::binary); }
  fs::resize_file(dir_ / "over.htm", 1ull << 31);

  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string want_err;
  };
  const Case kCases[] = {
      {"no argument", {}, "Usage: " + p + " <input_file>\n"},
      {"two arguments, first readable",
       {"page.htm", "page.htm"},
       "Usage: " + p + " <input_file>\n"},
      {"missing file",
       {"missing.htm"},
       p + ": couldn't open file missing.htm\n"},
      {"empty file", {"empty.htm"}, p + ": binary read failed on input file\n"},
      {"directory",
       {sized_directory()},
       p + ": binary read failed on input file\n"},
      {"3 GiB sparse file", {"sparse.htm"}, p + ": input file too large\n"},
      {"2 GiB: one past the size limit",
       {"over.htm"},
       p + ": input file too large\n"},
      // Linux reports size 0 for /proc files; read to the end, it is text
      // with no entry rather than an empty file.
      {"size 0 but has content",
       {"/proc/version"},
       p + ": couldn't find pseudo Content-Length entry\n"},
      // sysfs gives its attributes a size of 4,096 bytes and holds a few
      // dozen; what a short read brings cannot be told from a failed one.
      {"size larger than the content",
       {"/sys/devices/system/cpu/online"},
       p + ": binary read failed on input file\n"},
      {"no entry",
       {"noentry.htm"},
       p + ": couldn't find pseudo Content-Length entry\n"},
      {"no delimiter",
       {"nodelim.htm"},
       p + ": couldn't find header <-> body delimiter (\"\\r\\n\") in file\n"},
      {"LF-only line ends",
       {"lfonly.htm"},
       p + ": couldn't find header <-> body delimiter (\"\\r\\n\") in file\n"},
      {"zero byte hides the entry",
       {"hidden.htm"},
       p + ": couldn't find pseudo Content-Length entry\n"},
      {"bare CR in the entry line",
       {"bare.htm"},
       p + ": couldn't find end of pseudo Content-Length entry (\"\\r\\n\")\n"},
      {"too long for the table",
       {"huge.htm"},
       p + ": completed response too long for table (65536 bytes, at most "
           "65535)\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    // A bare chroot or container may have no /sys; CI's machines do.
    if (!c.args.empty() && c.args[0].starts_with("/sys/") &&
        !fs::exists(c.args[0]) && std::getenv("CI") == nullptr) {
      std::printf("skipped \"%s\": no %s here\n", c.name, c.args[0].c_str());
      continue;
    }
    const RunResult r = run(dir_, c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.want_err);
  }
}

// http2retlw-site, run the same way: each failure one message and status 1,
// a refusal removing the pages.inc an earlier run left.
TEST_F(ConverterRun, SiteProgramReportsEachFailure) {
  ChildSetup site;
  site.converter = HTTP2RETLW_SITE_PROGRAM;
  const std::string p = fs::canonical(site.converter).string();
  const std::string usage =
      "Usage: " + p + " [--headers FILE] [--depfile FILE] SITE_DIR TABLE_DIR\n";
  fs::create_directories(dir_ / "site");
  fs::create_directories(dir_ / "tables");
  write_file(dir_ / "site" / "index.html", "x");
  write_file(dir_ / "site" / "scripts.js", "x");
  write_file(dir_ / "site" / "style.css", "x");
  write_file(dir_ / "tables" / "pages.inc", "old");
  write_file(dir_ / "tables" / "style.css.inc", "old");
  write_file(dir_ / "tables" / "index.html.inc", "kept");
  fs::create_directories(dir_ / "live");
  write_file(dir_ / "live" / "index.html", "<!--#uptime-->");
  write_file(dir_ / "live" / "notes.txt", "a\r\n<!--#include file=\"x\" -->");
  write_file(dir_ / "live" / "data.json", "{\"p\": <!--#portb}");
  write_file(dir_ / "live" / "logo.png", "<!--#bogus-->");
  // 65,468 bytes complete to 65,535 (a 61-byte head); the ip's filler is 5
  // bytes longer than its placeholder.
  fs::create_directories(dir_ / "big");
  write_file(dir_ / "big" / "index.htm",
             std::string(65458, 'x') + "<!--#ip-->");
  std::string many;
  for (int i = 0; i < 256; ++i) many += "<!--#connections-->";
  write_file(dir_ / "big" / "notes.txt", many);
  write_file(dir_ / "tables" / "notes.txt.inc", "old");
  write_file(dir_ / "tables" / "logo.png.inc", "kept");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string want_err;
  };
  const Case kCases[] = {
      {"no argument", {}, usage},
      {"one folder", {"site"}, usage},
      {"three folders", {"site", "tables", "more"}, usage},
      {"an unknown option", {"--header", "h", "site", "tables"}, usage},
      {"--depfile without its file", {"site", "tables", "--depfile"}, usage},
      {"--headers twice",
       {"--headers", "h", "--headers", "h", "site", "tables"},
       usage},
      {"no such folder",
       {"nosite/", "tables"},
       p + ": couldn't open folder nosite\n"},
      {"a file, not a folder",
       {"site/index.html", "tables"},
       p + ": couldn't open folder site/index.html\n"},
      {"no headers file",
       {"--headers", "missing.txt", "site", "tables"},
       p + ": couldn't open file missing.txt\n"},
      {"two files tagged s",
       {"site", "tables"},
       p + ": site cannot be served:\n  scripts.js, style.css: one tag, 's', "
           "for 2 files; the server would serve one of them for all\n"},
      // A PNG is never scanned, and every file is judged before a table is
      // written.
      {"a placeholder naming no value, one unclosed",
       {"live", "tables"},
       p + ": live cannot be served:\n  live/data.json:1: <!--# is not closed "
           "by -->\n  live/notes.txt:2: <!--#include file=\"x\" --> names "
           "none of the server's values\n"},
      {"too long once filled; a placeholder too many",
       {"big", "tables"},
       p + ": big cannot be served:\n  index.htm: completed response too "
           "long for table (65540 bytes, at most 65535)\n  notes.txt: 256 "
           "placeholders, at most 255\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const RunResult r = run(dir_, c.args, nullptr, "http2retlw-site", site);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.want_err);
  }
  EXPECT_FALSE(fs::exists(dir_ / "tables" / "pages.inc"));
  EXPECT_FALSE(fs::exists(dir_ / "tables" / "style.css.inc"));
  EXPECT_EQ(read_file(dir_ / "tables" / "index.html.inc"), "kept");
  EXPECT_FALSE(fs::exists(dir_ / "tables" / "notes.txt.inc"));
  EXPECT_EQ(read_file(dir_ / "tables" / "logo.png.inc"), "kept");

  const RunResult version = run(dir_, {"--version"}, nullptr, "x", site);
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "http2retlw-site " HTTP2RETLW_VERSION "\n");
  EXPECT_EQ(version.err, "");

  // Served at last: the depfile names every file the tables come from,
  // the headers file too (a changed header line changes every table).
  fs::remove(dir_ / "site" / "scripts.js");
  write_file(dir_ / "headers.txt", "X-Frame-Options: DENY\n");
  const RunResult served =
      run(dir_,
          {"--headers", "headers.txt", "--depfile", "site.d", "site", "tables"},
          nullptr, "http2retlw-site", site);
  EXPECT_EQ(served.status, 0) << served.err;
  EXPECT_EQ(read_file(dir_ / "site.d"),
            "tables/pages.inc: \\\n  site \\\n  site/index.html \\\n"
            "  site/style.css \\\n  headers.txt\n\nsite:\n\nsite/index.html:\n"
            "\nsite/style.css:\n\nheaders.txt:\n");
}

// A placeholder becomes its filler and a line of the value list; the same
// bytes in a PNG and in a .gz are served as they are.
TEST_F(ConverterRun, SiteProgramFillsPlaceholdersOfTextFilesOnly) {
  ChildSetup site;
  site.converter = HTTP2RETLW_SITE_PROGRAM;
  fs::create_directories(dir_ / "site");
  const std::string placeholder = "<!--#uptime-->";
  write_file(dir_ / "site" / "index.html", "a<!--#uptime-->\n<!--#ip-->");
  write_file(dir_ / "site" / "logo.png", placeholder);
  write_file(dir_ / "site" / "style.css.gz", placeholder);
  const RunResult r = run(dir_, {"site", "tables"}, nullptr, "x", site);
  ASSERT_EQ(r.status, 0) << r.err;
  // The 64-byte head, then the uptime's filler at 65 (odd) and the ip's at
  // 76, the page's last 15 bytes.
  const std::string index_list =
      "; the value list: how many, then each one's offset in the response "
      "(high\n; byte, low byte) and the number of its value\n"
      "\tretlw\t0x02\n"
      "\tretlw\t0x00\n\tretlw\t0x41\n\tretlw\t0x00\n"
      "\tretlw\t0x00\n\tretlw\t0x4C\n\tretlw\t0x06\n";
  EXPECT_EQ(read_file(dir_ / "tables" / "index.html.inc"),
            expected_table('i',
                           "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n"
                           "Content-Length: 27\r\n\r\n"
                           "a         0\n        0.0.0.0") +
                index_list);
  EXPECT_EQ(read_file(dir_ / "tables" / "logo.png.inc"),
            expected_table('l',
                           "HTTP/1.0 200 OK\r\nContent-Type: image/png\r\n"
                           "Content-Length: 14\r\n\r\n" +
                               placeholder));
  EXPECT_EQ(read_file(dir_ / "tables" / "style.css.gz.inc"),
            expected_table('s',
                           "HTTP/1.0 200 OK\r\nContent-Type: text/css\r\n"
                           "Content-Encoding: gzip\r\n"
                           "Content-Length: 14\r\n\r\n" +
                               placeholder));
  const std::string pages = read_file(dir_ / "tables" / "pages.inc");
  EXPECT_NE(pages.find("\tlive_page_table\tpage_1\n\tpage_table\tpage_2\n"
                       "\tpage_table\tpage_3\n\tend_of_pages\n"),
            std::string::npos)
      << pages;
}

TEST_F(ConverterRun, NamesItsFullPathWhateverTheCommandWord) {
  const RunResult r = run(dir_, {}, nullptr, "h2r");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Usage: " + program_path() + " <input_file>\n");

  // A copy deeper than the 256 bytes the path lookup first makes room for.
  fs::path deep = dir_;
  for (int level = 0; level < 5; ++level) deep /= std::string(60, 'd');
  fs::create_directories(deep);
  fs::copy_file(kConverter, deep / "http2retlw");
  const std::string deep_path = fs::canonical(deep / "http2retlw").string();
  ASSERT_GE(deep_path.size(), 256u);
  const RunResult d =
      run(dir_, {}, nullptr, "h2r", {.converter = deep / "http2retlw"});
  EXPECT_EQ(d.status, 1);
  EXPECT_EQ(d.err, "Usage: " + deep_path + " <input_file>\n");
}

// Why inputs at the size limit cannot be read whole here, or null where
// they can: a sanitizer and an emulator need more address space than the
// limits such a read runs under.
const char* no_room_for_the_limit() {
#if defined(__SANITIZE_ADDRESS__)
  return "needs the address space a sanitizer reserves";
#else
  return kEmulator.empty() ? nullptr : "needs a native converter";
#endif
}

// Huge pages, where the host has them, spare a full read of the size limit
// half a million page faults.
const std::pair<std::string, std::string> kHugePages = {
    "GLIBC_TUNABLES", "glibc.malloc.hugetlb=1"};

// True, after saying so, where a row's address-space limit lies past what
// the host's pointers reach. The full read of an input at the size limit
// holds 2 GiB and the 1 GiB it doubled from at once and runs under 4 GiB, a
// limit no 32-bit process can be given.
bool needs_64_bit(std::uint64_t address_space, const char* name) {
  if (address_space <= UINTPTR_MAX) return false;
  std::printf("skipped \"%s\": needs a 64-bit host\n", name);
  return true;
}

// The size limit at the edge of memory. Where the address space ends first,
// a read the size check let through must fail as out of memory; only where
// the buffer fits does the limit itself answer. Neither runs under an
// emulator or a sanitizer, which need more address space than these limits.
TEST_F(ConverterRun, ReportsInputsAtTheLimitsOfMemory) {
  const char* no_room = no_room_for_the_limit();
  if (no_room != nullptr) GTEST_SKIP() << no_room;
  const std::string p = program_path();
  // The largest size accepted, sparse, so the size check is seen to let it
  // through without 2 GiB being read.
  write_file(dir_ / "largest.htm", "Content-Length:\r\n\r\n");
  fs::resize_file(dir_ / "largest.htm", (1ull << 31) - 1);
  struct Case {
    const char* name;
    const char* input;
    std::uint64_t address_space;
    std::string want_err;
  };
  const Case kCases[] = {
      {"2 GiB less one byte passes the size check", "largest.htm", 256ull << 20,
       p + ": out of memory\n"},
      // /dev/zero cannot be sized, so it is read until one limit stops it.
      // Under 256 MiB memory runs out while the input could still fit.
      {"unsized input runs out of memory first", "/dev/zero", 256ull << 20,
       p + ": out of memory\n"},
      // The one full read: 2 GiB, and the 1 GiB it doubled from, fit in 4 GiB,
      // so only the size limit can stop it. No 32-bit host has the room.
      {"unsized input is held to the size limit", "/dev/zero", 4ull << 30,
       p + ": input file too large\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    if (needs_64_bit(c.address_space, c.name)) continue;
    const RunResult r =
        run(dir_, {c.input}, nullptr, "http2retlw",
            {.address_space = static_cast<rlim_t>(c.address_space),
             .environment = {kHugePages}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.want_err);
  }
}

TEST_F(ConverterRun, FailsWhenStandardOutputRefusesTheTable) {
  write_file(dir_ / "page.htm", "Content-Length:\r\n\r\nab");
  // 3,024 completed bytes: a 36,350-byte table.
  write_file(dir_ / "long.htm",
             "Content-Length:\r\n\r\n" + std::string(3000, 'x'));
  struct Case {
    const char* name;
    const char* input;
    const char* stdout_path;
    ChildSetup setup;
  };
  std::vector<Case> cases = {
      {"a full device", "page.htm", "/dev/full", {}},
      // A file-size limit lets the first part out, then refuses the rest.
      {"refused in the middle", "long.htm", nullptr, {.file_size = 20000}},
      {"only the last byte refused", "long.htm", nullptr, {.file_size = 36349}},
  };
  // Every byte written, then the close fails. A preload cannot reach into
  // an emulator; a sanitizer runtime wants to be loaded first, and is told
  // to accept a preload ahead of it.
  if (!kCloseFailsShim.empty() && kEmulator.empty()) {
    cases.push_back(
        {"closing fails with EIO",
         "page.htm",
         nullptr,
         {.environment = {{"LD_PRELOAD", kCloseFailsShim},
                          {"ASAN_OPTIONS", "verify_asan_link_order=0"}}}});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r =
        run(dir_, {c.input}, c.stdout_path, "http2retlw", c.setup);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, program_path() + ": couldn't write to standard output\n");
  }
}

TEST_F(ConverterRun, TagIsTheArgumentsFirstCharacter) {
  write_file(dir_ / "page.htm", "Content-Length:\r\n\r\nz");
  const RunResult r = run(dir_, {"./page.htm"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected_table('.', "Content-Length: 1\r\n\r\nz"));
}

// Writes `head` and then `zeros` zero bytes into the FIFO at `path` for the
// converter, and tells what went wrong instead of hanging or dying: the
// converter never opened it (it has ended once `ended` is set), or stopped
// reading, or closed it early (the write then fails with EPIPE, SIGPIPE being
// ignored). The waits are bounded only to turn a stuck converter into a
// failure.
std::string feed_fifo(const fs::path& path, std::string_view head,
                      std::uint64_t zeros, const std::atomic<bool>& ended) {
  constexpr int kPatienceMs = 30000;
  static const std::string kZeros(std::size_t{1} << 20, '\0');
  int fd = -1;
  for (int waited = 0; fd < 0; waited += 10) {
    fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);  // fails until a reader
    if (fd < 0 && (errno != ENXIO || ended || waited >= kPatienceMs)) {
      return "the converter never opened the FIFO";
    }
    if (fd < 0) poll(nullptr, 0, 10);
  }
  const std::uint64_t total = head.size() + zeros;
  std::uint64_t sent = 0;
  pollfd ready = {fd, POLLOUT, 0};
  while (sent < total && poll(&ready, 1, kPatienceMs) == 1) {
    const std::string_view piece =
        sent < head.size()
            ? head.substr(sent)
            : std::string_view(kZeros).substr(
                  0, static_cast<std::size_t>(
                         std::min<std::uint64_t>(kZeros.size(), total - sent)));
    const ssize_t n = write(fd, piece.data(), piece.size());
    if (n < 0 && errno != EAGAIN) break;
    if (n > 0) sent += static_cast<std::uint64_t>(n);
  }
  close(fd);
  if (sent == total) return "";
  return "the converter stopped reading after " + std::to_string(sent) +
         " of " + std::to_string(total) + " bytes";
}

TEST_F(ConverterRun, ReadsAFifoToItsEnd) {
  // A converter that closes the FIFO early must fail a row, not end the
  // test; run() restores SIGPIPE for the converter itself.
  ASSERT_NE(signal(SIGPIPE, SIG_IGN), SIG_ERR);
  const fs::path fifo = dir_ / "fifo.htm";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // The largest page a table takes, 65,537 bytes that complete to 65,535,
  // arrives in more than one read. Its body never repeats at a distance of
  // a read, so a piece out of place shows.
  std::string body(65510, ' ');
  for (std::size_t i = 0; i < body.size(); ++i) {
    body[i] = static_cast<char>('!' + i % 89);
  }
  // Inputs of the size limit and one byte more: a read that fills the
  // buffer exactly leaves the end-of-file flag unset, so only reading one
  // more byte tells them apart. The one taken in is far too long for a
  // table: 2^31 - 1 bytes, less the 17 of the blank entry line, plus the 28
  // of "Content-Length: 2147483628" and CR LF. Their full reads need the
  // room the limits-of-memory rows need.
  const std::string head = "Content-Length:\r\n\r\n";
  const std::uint64_t limit_zeros = (1ull << 31) - 1 - head.size();
  struct Case {
    const char* name;
    std::string input;
    std::uint64_t zeros;  // zero bytes after `input`
    int status;
    std::string out;
    std::string err;
  };
  const Case kCases[] = {
      {"one body byte", "Content-Length:\r\n\r\nz", 0, 0,
       expected_table('f', "Content-Length: 1\r\n\r\nz"), ""},
      {"largest page, in several reads",
       "Content-Length:        \r\n\r\n" + body, 0, 0,
       expected_table('f', "Content-Length: 65510\r\n\r\n" + body), ""},
      {"nothing arrives", "", 0, 1, "",
       program_path() + ": binary read failed on input file\n"},
      {"2 GiB less one byte: the size limit, taken in", head, limit_zeros, 1,
       "",
       program_path() + ": completed response too long for table "
                        "(2147483658 bytes, at most 65535)\n"},
      {"2 GiB: one byte past the size limit", head, limit_zeros + 1, 1, "",
       program_path() + ": input file too large\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    ChildSetup setup;
    if (c.zeros > 0) {
      const char* no_room = no_room_for_the_limit();
      if (no_room != nullptr) {
        std::printf("skipped \"%s\": %s\n", c.name, no_room);
        continue;
      }
      constexpr std::uint64_t kRoom = 4ull << 30;
      if (needs_64_bit(kRoom, c.name)) continue;
      setup = {.address_space = static_cast<rlim_t>(kRoom),
               .environment = {kHugePages}};
    }
    std::atomic<bool> ended = false;
    std::string feed_problem;
    std::thread feeder(
        [&] { feed_problem = feed_fifo(fifo, c.input, c.zeros, ended); });
    const RunResult r = run(dir_, {"fifo.htm"}, nullptr, "http2retlw", setup);
    ended = true;
    feeder.join();
    EXPECT_EQ(feed_problem, "");
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(same_text(r.out, c.out));
    EXPECT_EQ(r.err, c.err);
  }
}

}  // namespace
