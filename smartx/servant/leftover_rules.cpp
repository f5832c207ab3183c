#include "smartx/servant/leftover_rules.h"

#include <cstdio>
#include <ctime>
#include <set>

namespace smartx {

namespace {
constexpr long long MS_PER_S = 1000;
constexpr int MS_DIGITS = 3;
constexpr long SECONDS_PER_HOUR = 3600;
constexpr long SECONDS_PER_MINUTE = 60;
constexpr int TM_YEAR_BASE = 1900;

Leftover_Judgement verdict(Leftover_Verdict v, std::string why = std::string()) {
    Leftover_Judgement j;
    j.verdict = v;
    j.why = std::move(why);
    return j;
}

Leftover_Judgement keep(std::string why) {
    return verdict(Leftover_Verdict::KEEP, std::move(why));
}

// Why a VM found only by the name asked for is not provably the run's;
// empty when it is: it mounts the volumes the run made, all of them and
// nothing else, and CloudTower made none of them after it.
std::string not_the_runs_vm(const Leftover_Seen& vm,
                            const std::map<std::string, std::string>& run_volumes) {
    if (run_volumes.empty())
        return "only its name ties it to the restore, which made no volume";
    const std::set<std::string> mounted(vm.volumes.begin(), vm.volumes.end());
    for (const std::string& id : mounted)
        if (run_volumes.count(id) == 0)
            return "it mounts volume " + id + ", which the restore did not make";
    for (const auto& v : run_volumes)
        if (mounted.count(v.first) == 0)
            return "it does not mount volume " + v.first + ", which the restore made for it";
    long long vm_made = 0;
    if (vm.created.empty() || !parse_tower_time(vm.created, vm_made))
        return std::string();
    for (const auto& v : run_volumes) {
        long long volume_made = 0;
        if (!v.second.empty() && parse_tower_time(v.second, volume_made) && vm_made < volume_made)
            return "it was made before volume " + v.first + ", which the restore made for it";
    }
    return std::string();
}
}  // namespace

bool parse_tower_time(const std::string& text, long long& ms) {
    struct tm tm = {};
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &consumed) != 6 ||
        consumed <= 0)
        return false;
    size_t at = static_cast<size_t>(consumed);
    long long fraction_ms = 0;
    if (at < text.size() && text[at] == '.') {
        int digits = 0;
        for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits)
            if (digits < MS_DIGITS)
                fraction_ms = fraction_ms * 10 + (text[at] - '0');
        if (digits == 0)
            return false;
        for (; digits < MS_DIGITS; ++digits)
            fraction_ms *= 10;
    }
    long offset_s = 0;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        int hours = 0;
        int minutes = 0;
        int used = 0;
        if (std::sscanf(text.c_str() + at + 1, "%2d:%2d%n", &hours, &minutes, &used) != 2 ||
            at + 1 + static_cast<size_t>(used) != text.size())
            return false;
        offset_s =
            (text[at] == '+' ? 1 : -1) * (hours * SECONDS_PER_HOUR + minutes * SECONDS_PER_MINUTE);
    } else if (!(at + 1 == text.size() && text[at] == 'Z')) {
        return false;
    }
    tm.tm_year -= TM_YEAR_BASE;
    tm.tm_mon -= 1;
    const time_t utc = ::timegm(&tm);
    if (utc == static_cast<time_t>(-1))
        return false;
    ms = (static_cast<long long>(utc) - offset_s) * MS_PER_S + fraction_ms;
    return true;
}

Leftover_Judgement judge_leftover(const Restore_Made& line, const Leftover_Seen* seen,
                                  const Leftover_Facts& facts) {
    const bool answered = !line.id.empty();
    const bool vm = line.kind == Restore_Made::VM;
    // What a task of it still does may change everything below.
    if (answered && facts.making)
        return verdict(Leftover_Verdict::NOT_YET, "the task that makes it has not ended");
    if (seen == nullptr) {
        if (answered)
            return verdict(Leftover_Verdict::SETTLED, "it is gone");
        // Not there (yet): a request may be carried out late, and the run
        // itself never forgets one whose answer it did not get.
        if (facts.own || facts.answers_may_come)
            return verdict(Leftover_Verdict::NOT_YET, "its request may still be carried out");
        return verdict(Leftover_Verdict::SETTLED, "its request was never carried out");
    }
    if (facts.already_left)
        return verdict(Leftover_Verdict::SETTLED, "it is kept already");
    if (facts.removing)
        return verdict(Leftover_Verdict::NOT_YET, "the task that removes it has not ended");
    if (vm && seen->platform)
        return keep("it is the platform's own VM");
    if (answered) {
        if (line.name.empty())
            return keep("its journal does not say what the restore named it");
        if (seen->name != line.name)
            return keep("it is named \"" + seen->name + "\", not \"" + line.name +
                        "\" as the restore named it");
    } else if (!vm) {
        return keep("only its name ties it to the restore");
    } else {
        const std::string why = not_the_runs_vm(*seen, facts.run_volumes);
        if (!why.empty())
            return keep(why);
    }
    if (!vm) {
        if (!seen->mounted)
            return verdict(Leftover_Verdict::REMOVE);
        // The journal's VMs may still mount it; else another VM does.
        return facts.vms_pending ? verdict(Leftover_Verdict::NOT_YET,
                                           "a VM of the restore may "
                                           "mount it")
                                 : keep("a VM mounts it");
    }
    for (const std::string& id : seen->volumes)
        if (facts.run_volumes.count(id) == 0)
            return keep("it mounts volume " + id + ", which the restore did not make");
    if (!seen->stopped) {
        // Only the run itself knows that it started its VM (its check does).
        if (!(facts.own && answered))
            return keep("it is " +
                        (seen->status.empty() ? std::string("in no known state") : seen->status));
        Leftover_Judgement j = verdict(Leftover_Verdict::REMOVE);
        j.power_off = true;
        return j;
    }
    return verdict(Leftover_Verdict::REMOVE);
}

}  // namespace smartx
