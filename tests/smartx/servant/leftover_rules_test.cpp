// The rules a sweep weighs a dead restore's journal line by, case by case:
// only what CloudTower's own answers tie to the run goes, and never on a
// name or on a time the host's clock gave.
#include <gtest/gtest.h>

#include <functional>

#include "smartx/servant/leftover_rules.h"

namespace {

using smartx::Leftover_Facts;
using smartx::Leftover_Seen;
using smartx::Leftover_Verdict;
using smartx::Restore_Made;
using Verdict = Leftover_Verdict;

const char* const EARLY = "2026-12-07T10:00:00.000Z";
const char* const LATER = "2026-12-07T10:00:01.500Z";

Restore_Made made(Restore_Made::Kind kind, const std::string& id, const std::string& name) {
    return Restore_Made{kind, id, "", name, {}};
}
Restore_Made asked(Restore_Made::Kind kind, const std::string& name,
                   std::vector<std::string> volumes = {}) {
    return Restore_Made{kind, "", "", name, std::move(volumes)};
}

Leftover_Seen volume(const std::string& id, const std::string& name, bool mounted = false,
                     const std::string& created = LATER) {
    Leftover_Seen s;
    s.id = id;
    s.name = name;
    s.mounted = mounted;
    s.created = created;
    return s;
}
Leftover_Seen vm(const std::string& id, const std::string& name, std::vector<std::string> volumes,
                 const std::string& created = LATER, const std::string& status = "STOPPED") {
    Leftover_Seen s;
    s.id = id;
    s.name = name;
    s.volumes = std::move(volumes);
    s.created = created;
    s.status = status;
    s.stopped = status == "STOPPED";
    return s;
}

// A later sweep's facts: the run made volumes v1 and v2 (CloudTower made
// them at EARLY), its requests can no longer be carried out.
Leftover_Facts later() {
    Leftover_Facts f;
    f.run_volumes = {{"v1", EARLY}, {"v2", EARLY}};
    return f;
}
Leftover_Facts with(std::function<void(Leftover_Facts&)> change) {
    Leftover_Facts f = later();
    change(f);
    return f;
}
Leftover_Seen changed(Leftover_Seen s, std::function<void(Leftover_Seen&)> change) {
    change(s);
    return s;
}

const Restore_Made::Kind VOL = Restore_Made::VOLUME;
const Restore_Made::Kind VM_ = Restore_Made::VM;

TEST(LeftoverRules, OnlyCloudTowersAnswersTieAnObjectToTheDeadRun) {
    const struct Row {
        const char* name;
        Restore_Made line;
        bool found;
        Leftover_Seen seen;
        Leftover_Facts facts;
        Verdict verdict;
        const char* why;  // a part of it; "" for none
        bool power_off;
    } rows[] = {
        // Answered: the id CloudTower gave the run.
        {"AnUnmountedVolumeItMade", made(VOL, "v1", "d-1"), true, volume("v1", "d-1"), later(),
         Verdict::REMOVE, "", false},
        {"ItsStoppedVm", made(VM_, "m1", "web"), true, vm("m1", "web", {"v1", "v2"}), later(),
         Verdict::REMOVE, "", false},
        {"ItsVmMountingSomeOfItsVolumes", made(VM_, "m1", "web"), true, vm("m1", "web", {"v1"}),
         later(), Verdict::REMOVE, "", false},
        {"AnIdGoneAlready",
         made(VOL, "v1", "d-1"),
         false,
         {},
         later(),
         Verdict::SETTLED,
         "gone",
         false},
        // No clock goes into it: CloudTower's answer is the proof.
        {"AVolumeItMadeWhateverItsTime", made(VOL, "v1", "d-1"), true,
         volume("v1", "d-1", false, "2020-01-01T00:00:00Z"), later(), Verdict::REMOVE, "", false},
        {"AVolumeAnotherVmMounts", made(VOL, "v1", "d-1"), true, volume("v1", "d-1", true), later(),
         Verdict::KEEP, "a VM mounts it", false},
        {"AVolumeItsOwnVmMayStillMount", made(VOL, "v1", "d-1"), true, volume("v1", "d-1", true),
         with([](Leftover_Facts& f) { f.vms_pending = true; }), Verdict::NOT_YET, "may mount",
         false},
        {"AVolumeRenamed", made(VOL, "v1", "d-1"), true, volume("v1", "mine"), later(),
         Verdict::KEEP, "named \"mine\"", false},
        {"AJournalThatNamesNothing", made(VOL, "v1", ""), true, volume("v1", "d-1"), later(),
         Verdict::KEEP, "does not say", false},
        {"TheCloudTowerVm", made(VM_, "ct", "CloudTower"), true,
         changed(vm("ct", "CloudTower", {}), [](Leftover_Seen& s) { s.platform = true; }), later(),
         Verdict::KEEP, "platform", false},
        {"ARunningVm", made(VM_, "m1", "web"), true, vm("m1", "web", {"v1"}, LATER, "RUNNING"),
         later(), Verdict::KEEP, "RUNNING", false},
        {"ARunningVmTheRunItselfStarted", made(VM_, "m1", "web"), true,
         vm("m1", "web", {"v1"}, LATER, "RUNNING"), with([](Leftover_Facts& f) { f.own = true; }),
         Verdict::REMOVE, "", true},
        {"AVmMountingAVolumeTheRunDidNotMake", made(VM_, "m1", "web"), true,
         vm("m1", "web", {"v1", "u9"}), later(), Verdict::KEEP, "u9", false},
        {"ItsMakingTaskRuns",
         made(VOL, "v1", "d-1"),
         false,
         {},
         with([](Leftover_Facts& f) { f.making = true; }),
         Verdict::NOT_YET,
         "makes it",
         false},
        {"ItsRemovalRuns", made(VOL, "v1", "d-1"), true, volume("v1", "d-1"),
         with([](Leftover_Facts& f) { f.removing = true; }), Verdict::NOT_YET, "removes it", false},
        {"KeptAndReportedAlready", made(VOL, "v1", "d-1"), true, volume("v1", "d-1", true),
         with([](Leftover_Facts& f) { f.already_left = true; }), Verdict::SETTLED, "", false},
        // Asked for, its answer never came: a name proves nothing.
        {"AVolumeOfTheNameAskedFor", asked(VOL, "web-data-1"), true, volume("b1", "web-data-1"),
         later(), Verdict::KEEP, "only its name", false},
        {"AVolumeOfTheNameWhileAnswersMayCome", asked(VOL, "web-data-1"), true,
         volume("b1", "web-data-1"), with([](Leftover_Facts& f) { f.answers_may_come = true; }),
         Verdict::KEEP, "only its name", false},
        {"NothingOfTheNameAskedFor",
         asked(VOL, "web-data-1"),
         false,
         {},
         later(),
         Verdict::SETTLED,
         "never carried out",
         false},
        {"NothingOfTheNameYet",
         asked(VOL, "web-data-1"),
         false,
         {},
         with([](Leftover_Facts& f) { f.answers_may_come = true; }),
         Verdict::NOT_YET,
         "may still",
         false},
        {"NothingOfTheNameForTheRunItself",
         asked(VOL, "web-data-1"),
         false,
         {},
         with([](Leftover_Facts& f) { f.own = true; }),
         Verdict::NOT_YET,
         "may still",
         false},
        // A VM asked for: only the run's volumes, all of them and nothing
        // else, made no later than it, prove it.
        {"TheVmCloudTowerMadeAfterTheServantDied", asked(VM_, "web"), true,
         vm("m2", "web", {"v2", "v1"}), later(), Verdict::REMOVE, "", false},
        {"AVmOfTheNameWithNoDisks", asked(VM_, "web"), true, vm("m2", "web", {}), later(),
         Verdict::KEEP, "does not mount volume v1", false},
        {"AVmOfTheNameMountingOneOfTheRunsVolumes", asked(VM_, "web"), true,
         vm("m2", "web", {"v1"}), later(), Verdict::KEEP, "does not mount volume v2", false},
        {"AVmOfTheNameMountingTheRunsVolumesAndItsOwn", asked(VM_, "web"), true,
         vm("m2", "web", {"v1", "v2", "u1"}), later(), Verdict::KEEP, "u1", false},
        {"AVmOfTheNameMadeBeforeTheRunsVolumes", asked(VM_, "web"), true,
         vm("m2", "web", {"v1", "v2"}, "2026-12-07T09:59:59.999Z"), later(), Verdict::KEEP,
         "made before volume", false},
        {"AVmOfTheNameTheRunMadeNoVolumeFor", asked(VM_, "web", {"u1"}), true,
         vm("m2", "web", {"u1"}), Leftover_Facts(), Verdict::KEEP, "made no volume", false},
        // The asking line's volumes are no proof: only "made" lines count.
        {"AskingLinesVolumesProveNothing", asked(VM_, "web", {"u1", "u2"}), true,
         vm("m2", "web", {"u1", "u2"}), later(), Verdict::KEEP, "u1", false},
        {"TheVmItAskedForRunning", asked(VM_, "web"), true,
         vm("m2", "web", {"v1", "v2"}, LATER, "RUNNING"),
         with([](Leftover_Facts& f) { f.own = true; }), Verdict::KEEP, "RUNNING", false},
        // Without both of CloudTower's times, read, nothing proves it.
        {"TheVmItAskedForWithoutItsTime", asked(VM_, "web"), true,
         vm("m2", "web", {"v1", "v2"}, ""), later(), Verdict::KEEP, "no readable time for it",
         false},
        {"TheVmItAskedForWithARunVolumeWithoutTime", asked(VM_, "web"), true,
         vm("m2", "web", {"v1", "v2"}), with([](Leftover_Facts& f) { f.run_volumes["v2"] = ""; }),
         Verdict::KEEP, "no readable time for volume v2", false},
        {"TheVmItAskedForMadeInMonth13", asked(VM_, "web"), true,
         vm("m2", "web", {"v1", "v2"}, "2026-13-07T10:00:01.500Z"), later(), Verdict::KEEP,
         "no readable time for it", false},
        {"TheVmItAskedForMadeAtHour25", asked(VM_, "web"), true,
         vm("m2", "web", {"v1", "v2"}, "2026-12-07T25:00:01.500Z"), later(), Verdict::KEEP,
         "no readable time for it", false},
        {"TheVmItAskedForWithARunVolumeMadeAtHour25", asked(VM_, "web"), true,
         vm("m2", "web", {"v1", "v2"}),
         with([](Leftover_Facts& f) { f.run_volumes["v1"] = "2026-12-07T25:00:00.000Z"; }),
         Verdict::KEEP, "no readable time for volume v1", false},
        {"TheVmItAskedForMadeWithItsVolumes", asked(VM_, "web"), true,
         vm("m2", "web", {"v1", "v2"}, EARLY), later(), Verdict::REMOVE, "", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const smartx::Leftover_Judgement j =
            smartx::judge_leftover(row.line, row.found ? &row.seen : nullptr, row.facts);
        EXPECT_EQ(static_cast<int>(j.verdict), static_cast<int>(row.verdict)) << j.why;
        EXPECT_NE(j.why.find(row.why), std::string::npos) << j.why;
        EXPECT_EQ(j.power_off, row.power_off);
    }
}

TEST(LeftoverRules, TowerTimesAreReadToTheMillisecond) {
    const struct Row {
        const char* text;
        bool reads;
        long long ms;
    } rows[] = {
        {"1970-01-01T00:00:01Z", true, 1000},
        {"1970-01-01T00:00:01.5Z", true, 1500},
        {"1970-01-01T00:00:01.123456Z", true, 1123},
        {"1970-01-01T01:00:00+01:00", true, 0},
        {"1970-01-01T00:00:00-00:30", true, 1800000},
        {"2024-02-29T00:00:00Z", true, 1709164800000},
        {"2024-02-29T23:59:59.250+14:00", true, 1709200799250},
        {"2000-02-29T12:00:00.000-14:00", true, 951876000000},
        {"1970-01-01T00:00:01.Z", false, 0},
        {"1970-01-01T00:00:01", false, 0},
        {"1970-01-01T00:00:01Zjunk", false, 0},
        {"yesterday", false, 0},
        // Each field in its range, or timegm would carry it into the next.
        {"2026-13-07T10:00:00Z", false, 0},
        {"2026-00-07T10:00:00Z", false, 0},
        {"2026-12-32T10:00:00Z", false, 0},
        {"2026-12-00T10:00:00Z", false, 0},
        {"2026-02-30T10:00:00Z", false, 0},
        {"2023-02-29T10:00:00Z", false, 0},
        {"2026-04-31T10:00:00Z", false, 0},
        {"2026-12-07T24:00:00Z", false, 0},
        {"2026-12-07T10:60:00Z", false, 0},
        {"2026-12-07T10:00:60Z", false, 0},
        {"2026-12-07T10:00:00+99:99", false, 0},
        {"2026-12-07T10:00:00+05:60", false, 0},
        {"2026-12-07T10:00:00-14:01", false, 0},
        {"2026-12-07T10:00:00+5:30", false, 0},
        // Digits where digits stand: no sign, space or short field.
        {"2026-1-07T10:00:00Z", false, 0},
        {"2026-12-07T 1:00:00Z", false, 0},
        {"2026-12-07T+1:00:00Z", false, 0},
        {"", false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        long long ms = -1;
        EXPECT_EQ(smartx::parse_tower_time(row.text, ms), row.reads);
        if (row.reads) {
            EXPECT_EQ(ms, row.ms);
        }
    }
}

}  // namespace
