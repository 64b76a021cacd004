// Whole runs of the built converter: arguments, files, streams, messages and
// exit status, as a makefile would see them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const fs::path kConverter = HTTP2RETLW_CONVERTER;
const fs::path kSourceDir = HTTP2RETLW_SOURCE_DIR;
// How a cross-built converter is started (qemu-user and its options); empty
// when the tests run on the converter's own host.
const std::vector<std::string> kEmulator = {HTTP2RETLW_EMULATOR};

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
// starts and the limits it runs under. Past the file-size limit a write
// fails (SIGXFSZ is ignored) instead of ending the process.
struct ChildSetup {
  fs::path converter = kConverter;
  rlim_t file_size = RLIM_INFINITY;
  rlim_t address_space = RLIM_INFINITY;
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
        (setup.file_size != RLIM_INFINITY &&
         setrlimit(RLIMIT_FSIZE, &file_size) != 0) ||
        (setup.address_space != RLIM_INFINITY &&
         setrlimit(RLIMIT_AS, &address_space) != 0)) {
      _exit(97);
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
  return result;
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
  ASSERT_GE(cases.size(), 4u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    const RunResult r = run(c.workdir, {c.input});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, read_file(c.golden));
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
      {"directory", {"."}, p + ": binary read failed on input file\n"},
      {"3 GiB sparse file", {"sparse.htm"}, p + ": input file too large\n"},
      {"2 GiB: one past the size limit",
       {"over.htm"},
       p + ": input file too large\n"},
      // Linux reports size 0 for /proc files; read to the end, it is text
      // with no entry rather than an empty file.
      {"size 0 but has content",
       {"/proc/version"},
       p + ": couldn't find pseudo Content-Length entry\n"},
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
    const RunResult r = run(dir_, c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.want_err);
  }
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

// Both need a large address space: the converter holds 2 GiB for the first,
// and an emulator or a sanitizer's shadow memory would not start under the
// second's limit.
TEST_F(ConverterRun, ReportsInputsAtTheLimitsOfMemory) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "needs the address space a sanitizer reserves";
#endif
  if (!kEmulator.empty()) GTEST_SKIP() << "needs a native converter";
  const std::string p = program_path();
  // The largest size accepted: 19 stored header bytes, a 2,147,483,628-byte
  // body (zero bytes), 11 more for its ten digits and the space.
  write_file(dir_ / "largest.htm", "Content-Length:\r\n\r\n");
  fs::resize_file(dir_ / "largest.htm", (1ull << 31) - 1);
  write_file(dir_ / "page.htm", "Content-Length:\r\n\r\n");
  fs::resize_file(dir_ / "page.htm", 1ull << 30);
  struct Case {
    const char* name;
    const char* input;
    rlim_t address_space;
    std::string want_err;
  };
  const Case kCases[] = {
      {"2 GiB less one byte is read whole", "largest.htm", RLIM_INFINITY,
       p + ": completed response too long for table (2147483658 bytes, at "
           "most 65535)\n"},
      {"1 GiB under a 256 MiB address space", "page.htm", 256ull << 20,
       p + ": out of memory\n"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const RunResult r = run(dir_, {c.input}, nullptr, "http2retlw",
                            {.address_space = c.address_space});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.want_err);
  }
}

TEST_F(ConverterRun, FailsWhenStandardOutputRefusesTheTable) {
  write_file(dir_ / "page.htm", "Content-Length:\r\n\r\nab");
  const RunResult r = run(dir_, {"page.htm"}, "/dev/full");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, program_path() + ": couldn't write to standard output\n");

  // A file-size limit lets the first part of a 36,350-byte table out (3,024
  // completed bytes), then refuses the rest: in the middle, or only the last
  // byte.
  write_file(dir_ / "long.htm",
             "Content-Length:\r\n\r\n" + std::string(3000, 'x'));
  for (const rlim_t limit : {rlim_t{20000}, rlim_t{36349}}) {
    SCOPED_TRACE(limit);
    const RunResult cut =
        run(dir_, {"long.htm"}, nullptr, "http2retlw", {.file_size = limit});
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(cut.err,
              program_path() + ": couldn't write to standard output\n");
  }
}

// Expected table for "Content-Length: 1\r\n\r\n" followed by one body byte.
std::string one_byte_body_table(char tag, unsigned body, unsigned sum) {
  const char* entry = "Content-Length: 1\r\n\r\n";
  char line[16];
  std::string t = "\n\tretlw\t'"s + tag + "'\n";
  std::snprintf(line, sizeof line, "\tretlw\t0x%02X\n", 22u);
  t += "\tretlw\t0x00\n"s + line;
  std::snprintf(line, sizeof line, "\tretlw\t0x%02X\n", sum >> 8);
  t += line;
  std::snprintf(line, sizeof line, "\tretlw\t0x%02X\n", sum & 0xFF);
  t += line;
  for (const char* b = entry; *b; ++b) {
    std::snprintf(line, sizeof line, "\tretlw\t0x%02X\n",
                  static_cast<unsigned char>(*b));
    t += line;
  }
  std::snprintf(line, sizeof line, "\tretlw\t0x%02X\n", body);
  return t + line + "\n\n";
}

TEST_F(ConverterRun, TagIsTheArgumentsFirstCharacter) {
  // Sum of "Content-Length: 1\r\n\r\n" + 'z', worked by hand: 0x3A69.
  write_file(dir_ / "page.htm", "Content-Length:\r\n\r\nz");
  const RunResult r = run(dir_, {"./page.htm"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, one_byte_body_table('.', 'z', 0x3A69));
}

TEST_F(ConverterRun, ReadsAFifoToItsEnd) {
  const fs::path fifo = dir_ / "fifo.htm";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] { write_file(fifo, "Content-Length:\r\n\r\nz"); });
  const RunResult r = run(dir_, {"fifo.htm"});
  writer.join();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, one_byte_body_table('f', 'z', 0x3A69));

  // The largest page a table takes (65,537 bytes that complete to 65,535)
  // arrives in more than one read and must convert as the file does.
  const std::string page =
      "Content-Length:        \r\n\r\n" + std::string(65510, 'x');
  write_file(dir_ / "file.htm", page);
  std::thread large([&] { write_file(fifo, page); });
  const RunResult piped = run(dir_, {"fifo.htm"});
  large.join();
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.out.size(), 62 + 12 * 65535u);
  EXPECT_EQ(piped.out, run(dir_, {"file.htm"}).out);

  std::thread silent([&] { write_file(fifo, ""); });
  const RunResult empty = run(dir_, {"fifo.htm"});
  silent.join();
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.out, "");
  EXPECT_EQ(empty.err, program_path() + ": binary read failed on input file\n");
}

}  // namespace
