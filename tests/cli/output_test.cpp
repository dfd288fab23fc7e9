// What qvihost writes reaches its reader whole, or the run fails saying so:
// standard output, and the files --html, --save-expect and --junit name.
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <streambuf>
#include <string>

#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include "cli/cli_runner.h"

namespace qvi::cli {
namespace {

// Takes `room` bytes, then refuses every write, as a full disk does.
class FullDisk : public std::streambuf {
 public:
  explicit FullDisk(std::size_t room) : room_(room) {}

 protected:
  int_type overflow(int_type c) override {
    if (room_ == 0 || traits_type::eq_int_type(c, traits_type::eof())) return traits_type::eof();
    --room_;
    return c;
  }

 private:
  std::size_t room_;
};

using OutputTest = CliFolderTest;

TEST_F(OutputTest, AReportThatCannotBeWrittenWholeFailsTheRun) {
  const std::string small = Path("small.json");
  WriteFileBytes(small, R"({"name": "small", "events": ["creation"]})");
  const std::vector<std::string> commands[] = {
      {"run", "install-nt"}, {"run", "install-nt", "--json"}, {"list"}, {"matrix", small}, {"matrix", small, "--json"}};
  for (const auto& args : commands) {
    for (const std::size_t room : {std::size_t{0}, std::size_t{100}}) {
      FullDisk disk(room);
      std::ostream out(&disk);
      std::ostringstream err;
      std::istringstream in;
      const int code = RunCli(args, {out, err, in, false});
      EXPECT_EQ(code, kExitInternalError) << args[0] << " " << args.back() << ", room " << room;
      const std::string said = err.str();
      EXPECT_NE(said.find("standard output: the report could not be written whole"), std::string::npos) << said;
    }
  }
}

// A full disk under --save-expect: the approved file stays as it was and no
// temporary file is left beside it. A small file system of its own is
// mounted for it, which only root may do.
TEST_F(OutputTest, AFullDiskKeepsThePreviousExpectations) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  const fs::path disk = dir_.path() / "disk";
  fs::create_directory(disk);
  ASSERT_EQ(::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k"), 0) << "cannot mount a tmpfs";
  struct Unmount {
    fs::path path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{disk};
  const fs::path approved = disk / "approved.json";
  const std::string previous = R"({"events": ["creation"], "expect": {"events": []}})";
  WriteFileBytes(approved, previous);
  {
    std::ofstream filler(disk / "filler", std::ios::binary);
    const std::string block(4096, 'f');
    while (filler.write(block.data(), block.size())) {
    }
  }
  const Outcome o = Cli({"run", "install-nt", "--save-expect", approved.string()});
  EXPECT_EQ(o.code, kExitBadInput);
  EXPECT_NE(o.err.find("approved.json: cannot write"), std::string::npos) << o.err;
  EXPECT_EQ(ReadFileBytes(approved), previous);
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(disk)) ++entries;
  EXPECT_EQ(entries, 2u) << "a temporary file was left behind";
}

// JUnit from hostile text: a control character and a NUL in the scenario's
// name, control characters in an expected value. The file is well-formed
// XML, says what it replaced, and holds one test case per expectation group.
TEST_F(OutputTest, JunitIsWellFormedWithOneCasePerGroup) {
  const fs::path scenario = dir_.path() / "hostile.json";
  WriteFileBytes(scenario, R"({"name": "bell\u0007and\u0000nul", "events": ["creation"], "expect": {
    "events": [{"event": "creation", "outcome": "completed"}],
    "registry": [{"key": "HKEY_LOCAL_MACHINE\\Software\\Nowhere", "value": "v", "type": "REG_SZ", "data": "\u0001\u001b"}]}})");
  const fs::path xml = dir_.path() / "results.xml";
  const Outcome o = Cli({"test", scenario.string(), "--junit", xml.string()});
  EXPECT_EQ(o.code, kExitExpectationsNotMet) << o.err;
  EXPECT_NE(o.err.find("characters XML cannot hold were written as U+FFFD"), std::string::npos) << o.err;
  const std::string text = ReadFileBytes(xml);
  pugi::xml_document document;
  EXPECT_TRUE(document.load_string(text.c_str())) << text;
  ExpectApproved(Golden("hostile-junit.xml"), Masked(text));
}

// JUnit tells what the readable result tells: the approved examples, whose
// exact folders count the INI entries of another group, pass there too.
TEST_F(OutputTest, JunitAgreesWithTheTestCommand) {
  const fs::path xml = dir_.path() / "results.xml";
  const fs::path examples = fs::path(QVI_EXAMPLES_DIR) / "expectations";
  const Outcome o = Cli({"test", examples.string(), "--junit", xml.string()});
  ASSERT_EQ(o.code, kExitOk) << o.out;
  pugi::xml_document document;
  ASSERT_TRUE(document.load_file(xml.c_str()));
  EXPECT_STREQ(document.child("testsuites").attribute("failures").value(), "0") << ReadFileBytes(xml);
  EXPECT_GT(document.child("testsuites").attribute("tests").as_int(), 4);
}

// The matrix runs on copies of a given machine, which stays as it was.
TEST_F(OutputTest, MatrixRunsOnCopiesOfAMachine) {
  const std::string machine = Path("m");
  ASSERT_EQ(Cli({"run", "install-nt", "--machine", machine}).code, kExitOk);
  const std::string store = ReadFileBytes(dir_.path() / "m" / "registry.reg");
  const auto faults = [](const std::string& matrix) { return nlohmann::json::parse(matrix)["faults"].get<int>(); };
  const Outcome fresh = Cli({"matrix", "uninstall", "--function", "RegDeleteKeyA", "--json"});
  const Outcome installed = Cli({"matrix", "uninstall", "--function", "RegDeleteKeyA", "--json", "--machine", machine});
  ASSERT_EQ(fresh.code, kExitOk);
  ASSERT_EQ(installed.code, kExitOk);
  // On the installed machine there is more to delete.
  EXPECT_GT(faults(installed.out), faults(fresh.out));
  EXPECT_EQ(ReadFileBytes(dir_.path() / "m" / "registry.reg"), store);
}

}  // namespace
}  // namespace qvi::cli
