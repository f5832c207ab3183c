#include "smartx/servant/leftover_rules.h"

#include <ctime>
#include <set>

#include "host/time_format.h"

namespace smartx {

namespace {
constexpr long long MS_PER_S = 1000;
constexpr int MS_DIGITS = 3;
constexpr unsigned SECONDS_PER_MINUTE = 60;
constexpr unsigned MINUTES_PER_HOUR = 60;
// UTC offsets in use run from -12:00 to +14:00.
constexpr unsigned MAX_OFFSET_MINUTES = 14 * MINUTES_PER_HOUR;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

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
    // Without CloudTower's times nothing says it was not there before the
    // run made its volumes.
    long long vm_made = 0;
    if (!parse_tower_time(vm.created, vm_made))
        return "CloudTower gives no readable time for it";
    for (const auto& v : run_volumes) {
        long long volume_made = 0;
        if (!parse_tower_time(v.second, volume_made))
            return "CloudTower gives no readable time for volume " + v.first +
                   ", which the restore made for it";
        if (vm_made < volume_made)
            return "it was made before volume " + v.first + ", which the restore made for it";
    }
    return std::string();
}
}  // namespace

bool parse_tower_time(const std::string& text, long long& ms) {
    time_t utc = 0;
    if (!read_civil_utc(text, 'T', utc))
        return false;
    size_t at = CIVIL_TIME_SIZE;
    long long fraction_ms = 0;
    if (at < text.size() && text[at] == '.') {
        int digits = 0;
        for (++at; at < text.size() && is_digit(text[at]); ++at, ++digits)
            if (digits < MS_DIGITS)
                fraction_ms = fraction_ms * 10 + (text[at] - '0');
        if (digits == 0)
            return false;
        for (; digits < MS_DIGITS; ++digits)
            fraction_ms *= 10;
    }
    long long offset_s = 0;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        // "+HH:MM", and nothing after it.
        const size_t offset_size = 6;
        unsigned hours = 0;
        unsigned minutes = 0;
        if (text.size() - at != offset_size || text[at + 3] != ':' ||
            !read_time_digits(text, at + 1, 2, hours) ||
            !read_time_digits(text, at + 4, 2, minutes) || minutes >= MINUTES_PER_HOUR ||
            hours * MINUTES_PER_HOUR + minutes > MAX_OFFSET_MINUTES)
            return false;
        offset_s =
            (text[at] == '+' ? 1 : -1) *
            static_cast<long long>((hours * MINUTES_PER_HOUR + minutes) * SECONDS_PER_MINUTE);
    } else if (!(at + 1 == text.size() && text[at] == 'Z')) {
        return false;
    }
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
