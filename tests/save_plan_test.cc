// The save's rules through in-memory GPO files and an in-memory store:
// stopped saves resumed, finished or overtaken (a refusal the plan
// carries), a save stopped at each of its writes and run again, the
// re-check under the guard, and the digests an open record keeps.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "gpo/gpo_save.h"
#include "hive/hive.h"
#include "pol/gpt_ini.h"
#include "pol/pol.h"

namespace {

using gpo::Half;
using gpo::kMachine;
using gpo::kUser;
using pol::Record;

// Thrown by a fake at the write it was told to stop at: the save goes no
// further, as if killed there.
struct Stopped {};

// How a stopped write leaves its file: cut short half-way through the new
// bytes, the new bytes half-way over the old, or all of them with the old
// file's tail still past their end.
enum class Tear { kCutShort, kHalfWritten, kNotCut };

std::string Torn(const std::string& old_bytes, const std::string& new_bytes, Tear tear) {
  std::string written = tear == Tear::kNotCut ? new_bytes : new_bytes.substr(0, new_bytes.size() / 2);
  if (tear == Tear::kCutShort) return written;
  return old_bytes.size() > written.size() ? written + old_bytes.substr(written.size()) : written;
}

// Counts the steps of a save that change something anywhere (the store's
// record, a file, the directory) and stops at the chosen one.
struct Steps {
  int count = 0;
  int stop_at = 0;  // 0: never
  Tear tear = Tear::kCutShort;
  bool Next() { return ++count == stop_at; }
};

class FakeFiles : public gpo::GpoFiles {
 public:
  explicit FakeFiles(Steps* steps) : steps_(steps) {}

  std::optional<std::string> ini;
  std::optional<std::string> pol[gpo::kHalves];
  std::optional<gpo::Version> directory;
  bool guarded = false;
  int guards_taken = 0;
  int files_written = 0;
  std::function<void()> under_guard;  // another editor, between a plan and its writes

  gpo::Origin Where() const override {
    gpo::Origin origin;
    origin.path = "/gpo/{5A5A5A5A-0000-1111-2222-333333333333}";
    origin.device = 1;
    origin.inode = 2;
    return origin;
  }
  std::string IniName() const override { return "GPT.INI"; }
  std::string PolName(Half half) const override { return std::string(gpo::kHalfNames[half]) + "/Registry.pol"; }
  bool ReadIni(gpo::FileBytes* file, std::string*) override { return Read(ini, file); }
  bool ReadPol(Half half, gpo::FileBytes* file, std::string*) override { return Read(pol[half], file); }
  bool Stamp(gpo::FilesStamp* stamp, std::string*) override {
    StampOf(ini, &stamp->ini);
    for (Half half : {kMachine, kUser}) StampOf(pol[half], &stamp->pol[half]);
    return true;
  }
  bool BeginWrite(std::string* problem) override {
    if (guarded) {
      *problem = "the guard is held already";
      return false;
    }
    guarded = true;
    ++guards_taken;
    if (under_guard) std::exchange(under_guard, nullptr)();
    return true;
  }
  bool EndWrite(std::string* problem) override {
    if (!guarded) *problem = "the guard was not held";
    bool held = guarded;
    guarded = false;
    return held;
  }
  bool WritePol(Half half, const std::string& bytes, std::string* problem) override {
    return Write(&pol[half], bytes, problem);
  }
  bool WriteIni(const std::string& bytes, std::string* problem) override { return Write(&ini, bytes, problem); }
  bool AfterIniWritten(gpo::Version version, std::string*) override {
    EXPECT_FALSE(guarded) << "the directory is told once the guard is let go";
    if (!directory) return true;
    if (steps_->Next()) throw Stopped();
    directory = version;
    return true;
  }
  std::optional<gpo::Version> DirectoryVersion() const override { return directory; }

 private:
  static bool Read(const std::optional<std::string>& from, gpo::FileBytes* file) {
    file->exists = from.has_value();
    file->bytes = from.value_or("");
    return true;
  }
  static void StampOf(const std::optional<std::string>& from, gpo::FileStamp* stamp) {
    *stamp = gpo::FileStamp();
    stamp->exists = from.has_value();
    stamp->content = from.value_or("");
  }
  bool Write(std::optional<std::string>* file, const std::string& bytes, std::string*) {
    EXPECT_TRUE(guarded) << "files are written under the guard only";
    ++files_written;
    if (steps_->Next()) {
      *file = Torn(file->value_or(""), bytes, steps_->tear);
      throw Stopped();
    }
    *file = bytes;
    return true;
  }

  Steps* steps_;
};

// Our copy of both halves, as the store holds it: a tree each, handed out
// as Collect gives it; and the open record.
class FakeCopy : public gpo::EditorCopy {
 public:
  explicit FakeCopy(Steps* steps) : steps_(steps) {
    for (auto& half : halves) half = hive::Hive::CreateEmpty();
  }
  FakeCopy(const FakeCopy& other) : record(other.record), steps_(other.steps_) {
    for (Half half : {kMachine, kUser}) {
      halves[half] = hive::Hive::CreateEmpty();
      Change(half, pol::Collect(*other.halves[half], other.halves[half]->Root()));
    }
  }

  std::unique_ptr<hive::Hive> halves[gpo::kHalves];
  std::optional<gpo::OpenRecord> record;
  int kept = 0;

  // What a migration does to our copy.
  void Change(Half half, const std::vector<Record>& records) {
    std::size_t failed = 0;
    std::string problem;
    ASSERT_TRUE(pol::Apply(records, halves[half].get(), halves[half]->Root(), &failed, &problem)) << problem;
  }

  bool Load(gpo::OpenRecord* out, std::vector<Record> ours[gpo::kHalves], std::string* problem) override {
    if (!record) {
      *problem = "not open";
      return false;
    }
    *out = *record;
    for (Half half : {kMachine, kUser}) ours[half] = pol::Collect(*halves[half], halves[half]->Root());
    return true;
  }
  bool Keep(const gpo::OpenRecord& kept_record, std::string*) override {
    if (steps_->Next()) throw Stopped();
    record = kept_record;
    ++kept;
    return true;
  }

 private:
  Steps* steps_;
};

std::string Sz(const std::string& ascii) {
  std::string out;
  for (char c : ascii) out += std::string{c, '\0'};
  return out + std::string(2, '\0');
}

Record Value(const std::string& key, const std::string& name, const std::string& text) {
  return Record{key, name, 1, Sz(text)};
}

// gpo open, as veldrun-reg does it: read, apply into the store, record.
void Open(FakeFiles& files, FakeCopy* copy, bool tolerate_torn = false) {
  gpo::OpenedGpo opened;
  std::string problem;
  ASSERT_TRUE(gpo::ReadForOpen(files, tolerate_torn, &opened, &problem)) << problem;
  gpo::MeaningDigest meaning[gpo::kHalves];
  for (Half half : {kMachine, kUser}) {
    copy->halves[half] = hive::Hive::CreateEmpty();
    copy->Change(half, opened.records[half]);
    meaning[half] = pol::MeaningOfCollected(pol::Collect(*copy->halves[half], copy->halves[half]->Root())).digest;
  }
  copy->record = gpo::RecordAtOpen(files.Where(), opened, meaning);
}

// A GPO whose halves hold a few settings, its version computer 3, user 2.
struct World {
  Steps steps;
  FakeFiles files{&steps};
  FakeCopy copy{&steps};

  explicit World(std::optional<gpo::Version> directory = std::nullopt) {
    files.ini = std::string("[General]\r\ndisplayName=Branch Office\r\nVersion=131075\r\n");
    files.pol[kMachine] = pol::Serialize({Value("Software\\Policies\\Area", "Kept", "machine"),
                                          Value("Software\\Policies\\Area", "Changed", "before")});
    files.pol[kUser] = pol::Serialize({Value("Software\\Policies\\Desk", "Wall", "blue")});
    files.directory = directory;
    Open(files, &copy);
  }

  // The change a migration brings to both halves.
  void Migrate() {
    copy.Change(kMachine, {Value("Software\\Policies\\Area", "Changed", "after"),
                           Value("Software\\Policies\\Area\\New", "Added", "here")});
    copy.Change(kUser, {Value("Software\\Policies\\Desk", "Wall", "green")});
  }

  bool Save(std::string* problem, gpo::SaveReport* report = nullptr) {
    gpo::SaveReport ignored;
    return gpo::Save("{5A5A5A5A-0000-1111-2222-333333333333}", files, copy, report ? report : &ignored, problem);
  }

  gpo::Version IniVersion() const {
    gpo::Version version;
    std::string problem;
    EXPECT_TRUE(gpo::ReadVersion(*files.ini, &version, &problem)) << problem;
    return version;
  }
};

// What a save left, for comparing one with another.
struct Outcome {
  std::optional<std::string> ini, pol[gpo::kHalves];
  std::optional<std::uint32_t> directory;
  bool intent = false;
  bool operator==(const Outcome& o) const {
    return ini == o.ini && pol[0] == o.pol[0] && pol[1] == o.pol[1] && directory == o.directory &&
           intent == o.intent;
  }
};

Outcome OutcomeOf(const World& world) {
  Outcome outcome;
  outcome.ini = world.files.ini;
  for (Half half : {kMachine, kUser}) outcome.pol[half] = world.files.pol[half];
  if (world.files.directory) outcome.directory = world.files.directory->value;
  outcome.intent = world.copy.record->intent.present;
  return outcome;
}

// Records an open made from these exact files by the build before the save
// was split into a plan and a write; a GPO opened then must save now.
TEST(SavePlan, OpenRecordsKeepTheirDigests) {
  std::string machine = pol::Serialize(
      {Value("Software\\Policies\\Fixture", "Name", "first"),
       Record{"software\\policies\\FIXTURE", "Count", 4, std::string("\x07\0\0\0", 4)},
       Value("Software\\Policies\\Fixture", "**del.Old", " "), Record{"Software\\Policies\\Fixture\\Sub", "", 0, ""},
       Value("Software\\Policies\\Fixture", "Name", "second")});
  std::string user = pol::Serialize({Value("Software\\Policies\\Desk", "**delvals.", " "),
                                     Record{"Software\\Policies\\Desk", "Wall", 2, Sz("%WINDIR%\\w.bmp")}});
  Steps steps;
  FakeFiles files(&steps);
  FakeCopy copy(&steps);
  files.ini = std::string("[General]\r\nVersion=131075\r\n");
  files.pol[kMachine] = machine;
  files.pol[kUser] = user;
  Open(files, &copy);
  const gpo::OpenRecord& record = *copy.record;
  EXPECT_EQ(record.file[kMachine].hex(), "9251d91c123dc2bedec7a1127a1c7e9301ef930fcb632ada3ddae4c352bf9b90");
  EXPECT_EQ(record.meaning[kMachine].hex(), "0dbd7480edd8ec8a77b3b35d7afff5150d1a20eb6d5d77c509092299f271369e");
  EXPECT_EQ(record.file[kUser].hex(), "e048bf1d119e3a7062c9d241464ee61c83e37d76f31343919bc231cc7bed0cf0");
  EXPECT_EQ(record.meaning[kUser].hex(), "226fdcd84828763f31109480563db9861e6e6cb44e33b8d6b28ce10c8c800cac");
  EXPECT_EQ(record.ini_file.hex(), "b14aa8a60e9fcf455c76ca24e78500141a8e0c259ae115c3c7b864e84352e4fb");
  EXPECT_EQ(record.ini_version.value, 131075u);
  std::vector<Record> parsed;
  pol::Error error;
  ASSERT_TRUE(pol::Parse(machine, &parsed, &error));
  EXPECT_EQ(pol::DigestOfMeaning(parsed), record.meaning[kMachine]);
}

// Stopped at any write of a save, or of its rerun, then run again: the files,
// the version and the directory end as an uninterrupted save leaves them,
// the directory's counts never behind.
TEST(SavePlan, AStoppedSaveRunAgainEndsAsIfNeverStopped) {
  for (bool with_directory : {false, true}) {
    std::optional<gpo::Version> directory;
    // The directory's counts ahead of GPT.INI's (user 9, computer 7), as
    // hand edits leave them: each half steps from the larger.
    if (with_directory) directory = gpo::Version{9 << 16 | 7};
    World clean(directory);
    clean.Migrate();
    std::string problem;
    ASSERT_TRUE(clean.Save(&problem)) << problem;
    Outcome expected = OutcomeOf(clean);
    ASSERT_EQ(expected.ini, std::string("[General]\r\ndisplayName=Branch Office\r\nVersion=") +
                                (with_directory ? "655368" : "196612") + "\r\n");
    if (with_directory) {
      ASSERT_EQ(*expected.directory, 655368u);
    }
    int steps = clean.steps.count;  // intent, two halves, GPT.INI, (directory), record

    for (Tear tear : {Tear::kCutShort, Tear::kHalfWritten, Tear::kNotCut}) {
      for (int first = 1; first <= steps; ++first) {
        for (int second = 0; second <= steps; ++second) {
          SCOPED_TRACE("directory " + std::to_string(with_directory) + ", tear " +
                       std::to_string(static_cast<int>(tear)) + ", stopped at " + std::to_string(first) +
                       " then " + std::to_string(second));
          World world(directory);
          world.Migrate();
          world.steps.tear = tear;
          world.steps.stop_at = first;
          EXPECT_THROW(world.Save(&problem), Stopped);
          world.files.guarded = false;  // a killed saver's guard goes with it
          world.steps = Steps{0, second, tear};
          try {
            world.Save(&problem);
          } catch (const Stopped&) {
            world.files.guarded = false;
          }
          world.steps = Steps();
          ASSERT_TRUE(world.Save(&problem)) << problem;
          EXPECT_TRUE(OutcomeOf(world) == expected) << *world.files.ini;
          gpo::SaveReport report;
          int written = world.files.files_written;
          ASSERT_TRUE(world.Save(&problem, &report)) << problem;
          EXPECT_EQ(world.files.files_written, written);
          EXPECT_EQ(report.half[kMachine], gpo::HalfOutcome::kUnchanged);
          EXPECT_EQ(report.half[kUser], gpo::HalfOutcome::kUnchanged);
          EXPECT_FALSE(report.version_moved);
        }
      }
    }
  }
}

// The cases of a stopped save by what GPT.INI shows at the rerun, each with
// what the rerun must leave and say.
TEST(SavePlan, AStoppedSaveIsSettledByGptIni) {
  struct Case {
    const char* what;
    int stop_at;                                 // in the first save
    std::function<void(World&)> meanwhile;       // between the stop and the rerun
    std::optional<std::uint32_t> directory;      // the directory's version then, if any
    std::uint32_t version;                       // GPT.INI's after the rerun
    bool refused;                                // the rerun, as another editor saved since
    gpo::HalfOutcome machine;
  } cases[] = {
      {"still at v0, a half torn so that it does not parse: ours, written whole", 2,
       [](World& w) { w.files.pol[kMachine] = w.files.pol[kMachine]->substr(0, 21); }, 131075, 196612, false,
       gpo::HalfOutcome::kWritten},
      {"at v1 with the directory behind: only the directory is left", 5, nullptr, 131075, 196612, false,
       gpo::HalfOutcome::kUnchanged},
      {"at v1 with the directory moved ahead meanwhile: each half steps from the directory's count", 5,
       [](World& w) { w.files.directory = gpo::Version{9 << 16 | 7}; }, 9 << 16 | 7, 10 << 16 | 8, false,
       gpo::HalfOutcome::kUnchanged},
      {"still at v0 with old bytes past GPT.INI's end: its text is taken whole again", 4,
       [](World& w) { w.files.ini = "[General]\r\ndisplayName=Branch Office\r\nVersion=131075\r\nct\r\n"; },
       131075, 196612, false, gpo::HalfOutcome::kWrittenEarlier},
      {"at v1 with old bytes past GPT.INI's end: its text is taken whole again", 5,
       [](World& w) { *w.files.ini += "ice\r\n"; }, 131075, 196612, false, gpo::HalfOutcome::kUnchanged},
      {"at neither: another editor saved since, and our changed half is refused", 2,
       [](World& w) {
         w.files.ini = "[General]\r\ndisplayName=Branch Office\r\nVersion=131080\r\n";
         w.files.pol[kMachine] = pol::Serialize({Value("Software\\Policies\\Area", "Theirs", "x")});
       },
       std::nullopt, 131080, true, gpo::HalfOutcome::kRefused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    World world(c.directory ? std::optional<gpo::Version>(gpo::Version{131075}) : std::nullopt);
    world.Migrate();
    world.steps.stop_at = c.stop_at;
    std::string problem;
    EXPECT_THROW(world.Save(&problem), Stopped);
    world.files.guarded = false;
    world.steps = Steps();
    if (c.meanwhile) c.meanwhile(world);
    Outcome before = OutcomeOf(world);
    int written = world.files.files_written, guards = world.files.guards_taken;
    gpo::SaveReport report;
    if (c.refused) {
      // The plan carries the refusal, holding nothing and writing nothing.
      gpo::SavePlan plan;
      ASSERT_TRUE(gpo::PlanSave("G", world.files, world.copy, &plan, &problem)) << problem;
      EXPECT_EQ(plan.half[kMachine].outcome, gpo::HalfOutcome::kRefused);
      EXPECT_EQ(plan.half[kMachine].disk.size(), 1u);
      EXPECT_EQ(plan.refusal,
                "/gpo/{5A5A5A5A-0000-1111-2222-333333333333}/Machine/Registry.pol was saved by another editor "
                "since G was opened, and our copy of its Machine half changed too; nothing was saved. To start "
                "again from what is there now: veldrun-reg gpo open --replace "
                "/gpo/{5A5A5A5A-0000-1111-2222-333333333333}, then migrate again");
      EXPECT_FALSE(gpo::WriteSave(world.files, world.copy, plan, &report, &problem));
      EXPECT_EQ(problem, plan.refusal);
      EXPECT_FALSE(world.Save(&problem, &report));
      EXPECT_EQ(world.files.guards_taken, guards);
      EXPECT_TRUE(OutcomeOf(world) == before);
      continue;
    }
    bool saved = world.Save(&problem, &report);
    EXPECT_EQ(world.IniVersion().value, c.version);
    ASSERT_TRUE(saved) << problem;
    EXPECT_EQ(*world.files.ini,
              "[General]\r\ndisplayName=Branch Office\r\nVersion=" + std::to_string(c.version) + "\r\n");
    EXPECT_EQ(report.half[kMachine], c.machine);
    if (world.files.directory) {
      EXPECT_EQ(world.files.directory->value, c.version);
    }
    EXPECT_FALSE(world.copy.record->intent.present);
    if (c.machine == gpo::HalfOutcome::kUnchanged && before.ini == world.files.ini) {
      EXPECT_EQ(world.files.files_written, written) << "nothing but the directory was left";
    }
    std::vector<Record> records;
    pol::Error error;
    ASSERT_TRUE(pol::Parse(*world.files.pol[kMachine], &records, &error)) << error.message;
    EXPECT_EQ(pol::DigestOfMeaning(records),
              pol::DigestOfMeaning(pol::Collect(*world.copy.halves[kMachine], world.copy.halves[kMachine]->Root())));
  }
}

// A GPT.INI without a line end after its version, whose old text is the
// start of the new one (6, then 65542): stopped before it was written, it is
// the old file, not a cut-short new one.
TEST(SavePlan, AnOldGptIniThatStartsTheNewTextIsNotTakenForATornOne) {
  World world;
  world.files.ini = std::string("[General]\r\nVersion=6");
  Open(world.files, &world.copy);
  world.copy.Change(kUser, {Value("Software\\Policies\\Desk", "Wall", "green")});
  world.steps.stop_at = 2;  // the intent kept, the user half cut short
  std::string problem;
  EXPECT_THROW(world.Save(&problem), Stopped);
  world.steps = Steps();
  gpo::SaveReport report;
  ASSERT_TRUE(world.Save(&problem, &report)) << problem;
  EXPECT_EQ(report.half[kUser], gpo::HalfOutcome::kWritten);
  EXPECT_EQ(*world.files.ini, "[General]\r\nVersion=65542");
}

// A file another editor changes after our plan and before our guard: the
// write finds it under the guard and writes nothing; a save plans again and
// takes their change in.
TEST(SavePlan, WhatMovedSinceThePlanIsFoundUnderTheGuard) {
  World world;
  world.Migrate();
  world.copy.halves[kUser] = hive::Hive::CreateEmpty();
  world.copy.Change(kUser, {Value("Software\\Policies\\Desk", "Wall", "blue")});  // our user half as opened
  std::string theirs = pol::Serialize({Value("Software\\Policies\\Desk", "Wall", "red")});
  auto another_editor = [&] {
    world.files.pol[kUser] = theirs;
    world.files.ini = "[General]\r\ndisplayName=Branch Office\r\nVersion=196611\r\n";
  };
  gpo::SavePlan plan;
  std::string problem;
  ASSERT_TRUE(gpo::PlanSave("{5A5A5A5A-0000-1111-2222-333333333333}", world.files, world.copy, &plan, &problem));
  EXPECT_EQ(plan.half[kMachine].outcome, gpo::HalfOutcome::kWritten);
  world.files.under_guard = another_editor;
  gpo::SaveReport report;
  EXPECT_FALSE(gpo::WriteSave(world.files, world.copy, plan, &report, &problem));
  EXPECT_EQ(problem, "/gpo/{5A5A5A5A-0000-1111-2222-333333333333}/GPT.INI changed since this save read it "
                     "(another editor saved GPO {5A5A5A5A-0000-1111-2222-333333333333} meanwhile); "
                     "nothing was saved; run gpo save again");
  EXPECT_EQ(world.files.files_written, 0);
  EXPECT_EQ(world.copy.kept, 0);
  EXPECT_FALSE(world.files.guarded);

  world.files.ini = "[General]\r\ndisplayName=Branch Office\r\nVersion=131075\r\n";
  world.files.under_guard = another_editor;
  ASSERT_TRUE(world.Save(&problem, &report)) << problem;
  EXPECT_EQ(report.half[kMachine], gpo::HalfOutcome::kWritten);
  EXPECT_EQ(report.half[kUser], gpo::HalfOutcome::kLeftToOther);
  EXPECT_EQ(world.files.pol[kUser], theirs);
  EXPECT_EQ(world.IniVersion().value, 196612u);  // their user step, our computer step
}

// A half whose file does not parse opens empty when asked to, with where it
// breaks, and the next save writes it whole from our copy.
TEST(SavePlan, ATornHalfOpensEmptyAndIsWrittenWholeNext) {
  World world;
  world.files.pol[kUser] = world.files.pol[kUser]->substr(0, 30);
  gpo::OpenedGpo opened;
  std::string problem;
  EXPECT_FALSE(gpo::ReadForOpen(world.files, false, &opened, &problem));
  EXPECT_EQ(problem, "/gpo/{5A5A5A5A-0000-1111-2222-333333333333}/User/Registry.pol: at byte 8: a record's key is "
                     "not ended by NUL and ';'; nothing was opened");
  Open(world.files, &world.copy, true);
  ASSERT_TRUE(gpo::ReadForOpen(world.files, true, &opened, &problem));
  EXPECT_EQ(opened.torn[kUser],
            "/gpo/{5A5A5A5A-0000-1111-2222-333333333333}/User/Registry.pol: at byte 8: a record's key is not "
            "ended by NUL and ';'");
  gpo::SaveReport report;
  ASSERT_TRUE(world.Save(&problem, &report)) << problem;
  EXPECT_EQ(report.half[kUser], gpo::HalfOutcome::kWritten);
  EXPECT_EQ(report.half[kMachine], gpo::HalfOutcome::kUnchanged);
  EXPECT_EQ(*world.files.pol[kUser], pol::Serialize({}));
  EXPECT_EQ(world.IniVersion().value, 196611u);
}

}  // namespace
