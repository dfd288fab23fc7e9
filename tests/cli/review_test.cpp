// Approvals reviewed and accepted: received files, `test --accept` and
// `--review`, and what CI reads of a test (JUnit, annotations, no tests).
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "cli/cli_runner.h"

namespace qvi::cli {
namespace {

class ReviewTest : public CliFolderTest {
 protected:
  // An approved upgrade, and the same with the approved "DayEnd" of the
  // Modem key wrong, as written to a.json and b.json; beside them received
  // files an earlier run left.
  void SetUp() override {
    ASSERT_EQ(Cli({"run", "upgrade", "--save-expect", Path("a.json")}).code, kExitOk);
    approved_ = ReadFileBytes(Path("a.json"));
    const std::string value = "\"value\": \"DayEnd\",\n        \"type\": \"REG_SZ\",\n        \"data\": \"6\"";
    const auto at = approved_.find(value);
    ASSERT_NE(at, std::string::npos);
    broken_ = approved_;
    broken_.replace(at + value.size() - 2, 1, "7");
  }
  void Break() {
    for (const char* name : {"a", "b"}) {
      WriteFileBytes(Path(std::string(name) + ".json"), broken_);
      WriteFileBytes(Path(std::string(name) + ".received.json"), "stale");
    }
  }

  std::string approved_;
  std::string broken_;
};

// A failed test leaves beside it, or in --received DIR, what acceptance
// would write: here the approval as it was, byte for byte. --accept writes
// it, checks again and passes; a pass takes a stale received file away.
TEST_F(ReviewTest, AFailureIsReceivedAndAcceptedBackToItsApproval) {
  Break();
  const std::string a = Path("a.json");
  const std::string received = Path("a.received.json");
  fs::remove(received);
  const Outcome failed = Cli({"test", a});
  EXPECT_EQ(failed.code, kExitChecksFailed);
  EXPECT_EQ(ReadFileBytes(received), approved_);
  EXPECT_EQ(Cli({"test", a, "--received", Path("out")}).code, kExitChecksFailed);
  EXPECT_EQ(ReadFileBytes(Path("out/a.received.json")), approved_);

  const Outcome accepted = Cli({"test", a, "--accept", "--html", Path("a.html")});
  EXPECT_EQ(accepted.code, kExitOk) << accepted.out << accepted.err;
  // The page tells the test as it was checked again.
  const std::string page = ReadFileBytes(Path("a.html"));
  EXPECT_NE(page.find("<p>1 passed, 0 failed</p>\n<h2>PASS upgrade (" + a + ")</h2>"), std::string::npos) << page;
  ExpectApproved(Golden("received-and-accepted.txt"), Masked(failed.out + accepted.out));
  EXPECT_EQ(ReadFileBytes(a), approved_);
  EXPECT_FALSE(fs::exists(received));
  EXPECT_EQ(Cli({"test", a, "--received", Path("out")}).code, kExitOk);
  EXPECT_FALSE(fs::exists(Path("out/a.received.json")));
}

// A person's answers, one per failed scenario: accept writes the approval,
// reject keeps the file and drops its received file, skip keeps both for
// later, quit leaves this one as skip does and runs no more; the end of the
// input is a quit, an answer not understood is asked again.
TEST_F(ReviewTest, ReviewAsksForEachFailureAndDoesWhatIsAnswered) {
  const std::string& approved = approved_;
  const std::string& broken = broken_;
  const struct {
    const char* name;
    const char* input;
    std::string a, b;                    // the files afterwards
    std::string a_received, b_received;  // their received files, "" for none
  } cases[] = {
      {"accept both", "a\naccept\n", approved, approved, "", ""},
      {"reject, skip", "r\ns\n", broken, broken, "", approved},
      {"quit", "q\n", broken, broken, approved, "stale"},
      {"not understood, then reject, then the end", "maybe\nreject\n", broken, broken, "", approved},
  };
  std::string told;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Break();
    const Outcome o = Cli({"test", Path("a.json"), Path("b.json"), "--review"}, c.input, true);
    told += Told(c.name, o.code, o.out + o.err);
    EXPECT_EQ(ReadFileBytes(Path("a.json")), c.a);
    EXPECT_EQ(ReadFileBytes(Path("b.json")), c.b);
    EXPECT_EQ(ReadFileBytes(Path("a.received.json")), c.a_received);
    EXPECT_EQ(ReadFileBytes(Path("b.received.json")), c.b_received);
  }
  const Outcome piped = Cli({"test", Path("a.json"), "--review"}, "a\n", false);
  ExpectApproved(Golden("review-answers.txt"), told + Told("piped", piped.code, piped.out + piped.err));
}

// Someone edits the scenario while the question waits: the answer "accept"
// does not overwrite the edit, and the approval goes to the received file.
TEST_F(ReviewTest, AnAcceptedFileEditedMeanwhileIsNotOverwritten) {
  struct EditingInput : std::streambuf {
    fs::path file;
    char answer[2] = {'a', '\n'};
    int_type underflow() override {
      if (gptr() == answer + 2) return traits_type::eof();
      WriteFileBytes(file, ReadFileBytes(file) + "\n");
      setg(answer, answer, answer + 2);
      return 'a';
    }
  } input;
  Break();
  input.file = Path("a.json");
  std::istream in(&input);
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(RunCli({"test", Path("a.json"), "--review"}, {out, err, in, true}), kExitChecksFailed);
  EXPECT_EQ(ReadFileBytes(Path("a.json")), broken_ + "\n");
  EXPECT_EQ(ReadFileBytes(Path("a.received.json")), approved_);
  EXPECT_NE(err.str().find(Path("a.json") + ": changed since the test read it; the approval is not written"),
            std::string::npos)
      << err.str();
}

// No scenario to check fails unless asked to pass; a folder's received files
// are no tests of their own; a path that is not there fails either way.
TEST_F(ReviewTest, NoTestsFailUnlessAskedToPass) {
  WriteFileBytes(Path("none/run.json"), R"({"base": "install-nt"})");
  WriteFileBytes(Path("none/run.received.json"), R"({"base": "install-nt", "expect": {"message_boxes": []}})");
  fs::create_directories(Path("empty"));
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{"test", Path("none")}, kExitBadInput},
      {{"test", Path("none"), "--pass-with-no-tests"}, kExitOk},
      {{"test", Path("empty")}, kExitBadInput},
      {{"test", Path("empty"), "--pass-with-no-tests"}, kExitOk},
      {{"test", Path("missing"), "--pass-with-no-tests"}, kExitBadInput},
  };
  for (const auto& [args, code] : cases) {
    const Outcome o = Cli(args);
    EXPECT_EQ(o.code, code) << args[1] << "\n" << o.out << o.err;
    EXPECT_EQ(o.out.find("PASS"), std::string::npos) << o.out;
  }
}

// CI reads every difference line of a failure in the JUnit file (a log
// entry's lines beneath it), tells two files' scenarios of one name apart,
// and an annotation points at the line of each unmet group.
TEST_F(ReviewTest, CiReadsEveryDifferenceWhereItIsWritten) {
  const std::string scenario =
      "{\n"
      "  \"base\": \"install-nt\",\n"
      "  \"expect\": {\n"
      "    \"host_calls\": {\"match\": \"exactly\",\n"
      "                   \"calls\": [\"QviPublic 14 SetSettingsFile(\\\"Other.ini\\\") -> Empty\"]},\n"
      "    \"log\": {\"match\": \"exactly\", \"lines\": [\"not a line of it\"]}\n"
      "  }\n"
      "}\n";
  WriteFileBytes(Path("x/s.json"), scenario);
  WriteFileBytes(Path("y/s.json"), scenario);
  const Outcome o = Cli({"test", Path("x/s.json"), Path("y/s.json"), "--junit", Path("j.xml"), "--annotations", "github"});
  EXPECT_EQ(o.code, kExitChecksFailed) << o.err;
  ExpectApproved(Golden("ci-annotations-and-junit.txt"), Masked(o.out + ReadFileBytes(Path("j.xml"))));
}

}  // namespace
}  // namespace qvi::cli
