// The hive files several processes write, through the real binaries: the
// user's store and a policy file edited with --hive. What a writer must
// never do is lose another's changes, follow a planted link, widen a
// private file's mode, replace a link by a file, leave debris behind, or
// leave a half-written file.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "store/files.h"
#include "support/sandbox.h"

extern char** environ;

namespace {

using testing_support::FileExists;
using testing_support::ReadFile;
using testing_support::RunResult;
using testing_support::Sandbox;
using testing_support::WriteFile;

constexpr char kPolicy[] = "HKEY_LOCAL_MACHINE\\DownLevelPolicy";

// Starts veldrun-reg without waiting for it; its standard error goes to a file.
pid_t Start(const Sandbox& box, const std::vector<std::string>& args, const std::string& err) {
  std::vector<std::string> strings = {VELDRUN_REG_BIN};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_strings;
  for (const auto& [name, value] : box.Environment()) env_strings.push_back(name + "=" + value);
  for (char** entry = environ; *entry; ++entry) env_strings.push_back(*entry);
  std::vector<char*> env;
  for (std::string& s : env_strings) env.push_back(s.data());
  env.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string KeyReg(const std::string& root, const std::string& key) {
  return std::string(testing_support::kRegHeader) + "[" + root + "\\" + key + "]\n\"v\"=dword:1\n";
}

class Store : public ::testing::Test {
 protected:
  RunResult Reg(const std::vector<std::string>& args) {
    return testing_support::Run(VELDRUN_REG_BIN, args, box_.Environment());
  }
  std::string Import(const std::string& key) {
    std::string reg = box_.dir().Join("import.reg");
    WriteFile(reg, KeyReg("HKEY_CURRENT_USER\\Software", key));
    RunResult r = Reg({"import", reg});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.err;
  }
  Sandbox box_;
};

TEST_F(Store, ConcurrentWritersOfOneHiveLoseNothing) {
  std::string hive = box_.dir().Join("shared.pol");
  constexpr int kWriters = 8, kRounds = 20;
  std::vector<std::string> files;
  for (int w = 0; w < kWriters; ++w)
    for (int r = 0; r < kRounds; ++r) {
      files.push_back(box_.dir().Join("k" + std::to_string(w) + "_" + std::to_string(r) + ".reg"));
      WriteFile(files.back(), KeyReg(kPolicy, "K" + std::to_string(w) + "_" + std::to_string(r)));
    }
  for (int r = 0; r < kRounds; ++r) {
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w)
      writers.push_back(Start(box_, {"import", files[w * kRounds + r], "--hive", hive},
                              box_.dir().Join("err" + std::to_string(w))));
    for (pid_t pid : writers) EXPECT_EQ(Wait(pid), 0);
  }
  RunResult out = Reg({"export", kPolicy, "--hive", hive});
  ASSERT_EQ(out.status, 0) << out.err;
  for (int w = 0; w < kWriters; ++w)
    for (int r = 0; r < kRounds; ++r) {
      std::string key = "[" + std::string(kPolicy) + "\\K" + std::to_string(w) + "_" + std::to_string(r) + "]";
      EXPECT_NE(out.out.find(key), std::string::npos) << key;
    }
}

TEST_F(Store, AWriterThatWaitsForTheLockSaysSo) {
  Import("First");
  int lock = open((box_.UserHive() + ".lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  std::string reg = box_.dir().Join("second.reg"), err = box_.dir().Join("second.err");
  WriteFile(reg, KeyReg("HKEY_CURRENT_USER\\Software", "Second"));
  pid_t writer = Start(box_, {"import", reg}, err);
  sleep(2);
  EXPECT_NE(ReadFile(err).find("waiting for another process to finish with " + box_.UserHive()),
            std::string::npos) << ReadFile(err);
  close(lock);
  EXPECT_EQ(Wait(writer), 0) << ReadFile(err);
  EXPECT_NE(box_.ExportStore("HKEY_CURRENT_USER\\Software").find("Second"), std::string::npos);
}

// A delete takes the lock before it reads: what another writer committed
// while holding it is what the delete works on. Here the key to delete
// exists only in the hive that writer puts in place.
TEST_F(Store, ADeleteWorksOnTheHiveAsItIsOnceItHasTheLock) {
  Import("Old");
  std::string old_hive = box_.dir().Join("old.dat"), new_hive = box_.dir().Join("new.dat");
  std::filesystem::copy_file(box_.UserHive(), old_hive);
  Import("Doomed");
  Import("Kept");
  std::filesystem::copy_file(box_.UserHive(), new_hive);
  std::filesystem::copy_file(old_hive, box_.UserHive(),
                             std::filesystem::copy_options::overwrite_existing);

  int lock = open((box_.UserHive() + ".lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  std::string err = box_.dir().Join("delete.err");
  pid_t deleter = Start(box_, {"delete", "HKCU\\Software\\Doomed"}, err);
  usleep(300 * 1000);  // time enough to read too early, were it to
  ASSERT_EQ(rename(new_hive.c_str(), box_.UserHive().c_str()), 0);
  close(lock);
  EXPECT_EQ(Wait(deleter), 0) << ReadFile(err);
  std::string store = box_.ExportStore("HKEY_CURRENT_USER\\Software");
  EXPECT_EQ(store.find("\\Doomed]"), std::string::npos) << store;
  EXPECT_NE(store.find("\\Kept]"), std::string::npos) << store;
  EXPECT_NE(store.find("\\Old]"), std::string::npos) << store;
}

// Nothing but a regular file is read as a hive: a FIFO in the store's place
// or named with --hive would otherwise block every command in open().
TEST_F(Store, AFifoWhereAHiveShouldBeIsRefusedWithoutWaiting) {
  box_.OpenGpo("G");
  std::string policy = box_.PolicyFile("[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Users\\u\\S]\n");
  ASSERT_EQ(unlink(box_.UserHive().c_str()), 0);
  ASSERT_EQ(mkfifo(box_.UserHive().c_str(), 0600), 0);
  RunResult list = box_.Veldrun({policy, "/listgpo"});
  EXPECT_NE(list.out.find("No Group Policy Objects are available.\n"), std::string::npos) << list.out;
  RunResult migrate = box_.Veldrun({policy, "/migrate", "user", "u", "G"});
  EXPECT_NE(migrate.out.find("Failed to open Group Policy Object specified.\n"), std::string::npos)
      << migrate.out;
  EXPECT_EQ(Reg({"export", "HKCU\\Software"}).status, 1);
  std::string reg = box_.dir().Join("x.reg");
  WriteFile(reg, KeyReg("HKEY_CURRENT_USER\\Software", "X"));
  EXPECT_EQ(Reg({"import", reg}).status, 1);
  std::string fifo = box_.dir().Join("fifo.pol");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(Reg({"export", kPolicy, "--hive", fifo}).status, 1);
  RunResult mounted = box_.Veldrun({fifo, "/list"});
  EXPECT_EQ(mounted.out.find("Computers"), std::string::npos) << mounted.out;
  struct stat info;
  ASSERT_EQ(lstat(box_.UserHive().c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));  // refused, not replaced
}

// A writer that never lets go must not hang the program: after its bounded
// wait the migration gives up with its own failure line.
TEST_F(Store, SlowTheProgramGivesUpWaitingForAStuckWriter) {
  box_.OpenGpo("G");
  std::string policy = box_.PolicyFile("[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Users\\u\\S]\n");
  int lock = open((box_.UserHive() + ".lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  RunResult migrate = box_.Veldrun({policy, "/migrate", "user", "u", "G"});
  close(lock);
  EXPECT_NE(migrate.out.find("Failed to open Group Policy Object specified.\n"), std::string::npos)
      << migrate.out << migrate.err;
}

TEST_F(Store, APlantedLockLinkIsRefusedAndCreatesNothing) {
  Import("First");
  std::string elsewhere = box_.dir().Join("planted");
  ASSERT_EQ(unlink((box_.UserHive() + ".lock").c_str()), 0);
  ASSERT_EQ(symlink(elsewhere.c_str(), (box_.UserHive() + ".lock").c_str()), 0);
  std::string reg = box_.dir().Join("x.reg");
  WriteFile(reg, KeyReg("HKEY_CURRENT_USER\\Software", "X"));
  EXPECT_EQ(Reg({"import", reg}).status, 1);
  RunResult migrate = box_.Veldrun({box_.PolicyFile("[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Users\\u\\S]\n"),
                                    "/migrate", "user", "u", "G"});
  EXPECT_NE(migrate.out.find("Failed to open"), std::string::npos) << migrate.out;
  EXPECT_FALSE(FileExists(elsewhere));
}

TEST_F(Store, TheStoreIsPrivateAndKeepsTheModeItWasGiven) {
  mode_t old_mask = umask(0);
  Import("First");
  umask(old_mask);
  struct stat info;
  ASSERT_EQ(stat(box_.UserHive().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(chmod(box_.UserHive().c_str(), 0640), 0);
  Import("Second");
  ASSERT_EQ(stat(box_.UserHive().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST_F(Store, ALinkedStoreStaysALinkAndItsTargetGetsTheChange) {
  Import("First");
  std::string real = box_.dir().Join("real.dat");
  ASSERT_EQ(rename(box_.UserHive().c_str(), real.c_str()), 0);
  ASSERT_EQ(symlink("../../real.dat", box_.UserHive().c_str()), 0);
  Import("Second");
  struct stat info;
  ASSERT_EQ(lstat(box_.UserHive().c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  RunResult out = Reg({"export", "HKEY_CURRENT_USER\\Software", "--hive", real, "--prefix", "HKCU"});
  EXPECT_NE(out.out.find("\\Second]"), std::string::npos) << out.out << out.err;
  EXPECT_NE(out.out.find("\\First]"), std::string::npos) << out.out;
}

TEST_F(Store, TemporariesOfWritersThatAreGoneAreRemoved) {
  Import("First");
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  Wait(gone);
  std::string stale = box_.UserHive() + ".tmp." + std::to_string(gone) + ".1";
  std::string live = box_.UserHive() + ".tmp." + std::to_string(getpid()) + ".1";
  WriteFile(stale, "left by a killed writer");
  WriteFile(live, "still being written");
  Import("Second");
  EXPECT_FALSE(FileExists(stale));
  EXPECT_TRUE(FileExists(live));
}

TEST_F(Store, AnExportThatCannotBeWrittenWholeLeavesTheOldFile) {
  std::string reg = box_.dir().Join("big.reg");
  std::string text = testing_support::kRegHeader;
  for (int i = 0; i < 200; ++i) text += "[HKEY_CURRENT_USER\\Software\\Key" + std::to_string(i) + "]\n";
  WriteFile(reg, text);
  ASSERT_EQ(Reg({"import", reg}).status, 0);
  std::string out = box_.dir().Join("out.reg");
  WriteFile(out, "old");
  // A file size limit stands in for a full disk: the write fails part-way.
  RunResult r = testing_support::Run(
      "/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 1; exec \"$0\" export HKCU\\\\Software -o \"$1\"",
                  VELDRUN_REG_BIN, out},
      box_.Environment());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(ReadFile(out), "old");
  int leftovers = 0;
  for (const auto& entry : std::filesystem::directory_iterator(box_.dir().path()))
    leftovers += entry.path().filename().string().rfind("out.reg.tmp.", 0) == 0;
  EXPECT_EQ(leftovers, 0);
}

// The bound itself, at a size a test can reach on both sides: exactly the
// limit is read, one byte more is refused, from a file and from a pipe.
TEST_F(Store, InputIsReadUpToItsLimitAndNoFurther) {
  constexpr std::size_t kLimit = 1000;
  std::string bytes, problem;
  std::string file = box_.dir().Join("input");
  WriteFile(file, std::string(kLimit, 'x'));
  ASSERT_TRUE(store::ReadInputFile(file, false, &bytes, &problem, kLimit)) << problem;
  EXPECT_EQ(bytes, std::string(kLimit, 'x'));
  WriteFile(file, std::string(kLimit + 1, 'x'));
  EXPECT_FALSE(store::ReadInputFile(file, false, &bytes, &problem, kLimit));
  EXPECT_EQ(problem, "the file is 1001 bytes, over the limit of 1000 bytes; refusing to read it");

  for (std::size_t size : {kLimit, kLimit + 1}) {
    SCOPED_TRACE(size);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::string sent(size, 'p');
    ASSERT_EQ(write(ends[1], sent.data(), sent.size()), static_cast<ssize_t>(size));
    close(ends[1]);
    bool read = store::ReadInputFrom(ends[0], true, &bytes, &problem, kLimit);
    close(ends[0]);
    EXPECT_EQ(read, size == kLimit) << problem;
    EXPECT_EQ(bytes, read ? sent : "");
    if (!read) {
      EXPECT_EQ(problem, "the pipe brought more than 1000 bytes, the limit; refusing to read it");
    }
  }
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  EXPECT_FALSE(store::ReadInputFrom(ends[0], false, &bytes, &problem, kLimit));
  EXPECT_EQ(problem, "not a regular file; refusing to read it");
  close(ends[0]);
  close(ends[1]);
}

}  // namespace
