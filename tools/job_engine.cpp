// job-engine: runs one job of a job definition through a module, the way
// the product's job engine does, and prints every report as it happens.
//
//   job-engine [--module PATH] [--timeout SECONDS] DEFINITION.json
//
// Exit status: 0 when the run reported success, 1 otherwise, 2 on bad usage
// or when the module or the definition cannot be loaded. Ctrl-C (or
// SIGTERM) asks the job to stop; the run then ends as cancelled.
#include <dlfcn.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <thread>

#include <ace/Thread_Manager.h>

#include "host/job/job.h"
#include "host/job/job_creator.h"
#include "host/json_spirit/json_io.h"
#include "host/live_threads.h"

namespace {

typedef Object_Creator_T<YAJL_Handler> Parser_Creator;

// How long the job's threads get to end once its run is over.
constexpr std::chrono::seconds THREADS_END_BOUND{10};

struct Module {
    void* handle = nullptr;
    ~Module() {
        if (handle)
            dlclose(handle);
    }
    template <class T>
    T* make(const char* name, Gobble_Function* gobble) {
        auto fn = reinterpret_cast<T* (*)(Gobble_Function*)>(dlsym(handle, name));
        return fn ? fn(gobble) : nullptr;
    }
};

// Holds what a factory made until its destroyer is called.
template <class T>
struct Made {
    T* obj = nullptr;
    Gobble_Function gobble = nullptr;
    ~Made() {
        if (obj && gobble)
            gobble(obj);
    }
};

const char* vm_state_name(VM_Job_Progress::VM_State s) {
    switch (s) {
        case VM_Job_Progress::STATE_PENDING:
            return "pending";
        case VM_Job_Progress::STATE_RUNNING:
            return "running";
        case VM_Job_Progress::STATE_COMPLETED:
            return "completed";
        case VM_Job_Progress::STATE_FAILED:
            return "failed";
        case VM_Job_Progress::STATE_SKIPPED:
            return "skipped";
    }
    return "unknown";
}

// One line per VM whose progress changed since the last report.
class Progress_Printer {
public:
    void print(const Job_Report& r) {
        for (const VM_Job_Progress& v : r.vms) {
            char line[512];
            std::snprintf(line, sizeof line, "progress: %s %s, %llu of %llu bytes, %d of %d disks",
                          v.name.c_str(), vm_state_name(v.state),
                          static_cast<unsigned long long>(v.processed_bytes),
                          static_cast<unsigned long long>(v.total_bytes),
                          v.processed_virtual_disk_count, v.virtual_disk_count);
            std::string& last = last_[v.uuid];
            if (last != line) {
                last = line;
                std::printf("%s\n", line);
            }
        }
    }

private:
    std::map<std::string, std::string> last_;
};

// "YYYY-mm-dd HH:MM:SS" (local time) -> seconds; -1 when it is not one.
long long local_seconds(const std::string& text) {
    struct tm t = {};
    const char* end = strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &t);
    if (end == nullptr || *end != 0)
        return -1;
    t.tm_isdst = -1;
    return static_cast<long long>(std::mktime(&t));
}

// The table of per-VM histories a backup run leaves under "smartx".
void print_vm_table(const json_spirit::Object& results) {
    const json_spirit::Array* vms = json_spirit::object_get_array(results, "smartx");
    if (vms == nullptr || vms->empty())
        return;
    std::printf("%-32s %-9s %15s %15s %9s\n", "VM", "outcome", "bytes read", "bytes written",
                "duration");
    for (const json_spirit::Value& v : *vms) {
        if (v.type() != json_spirit::obj_type)
            continue;
        const json_spirit::Object& h = v.get_obj();
        std::string name, start, end;
        bool ok = false;
        unsigned long long read = 0, written = 0;
        json_spirit::object_get(h, "name", name);
        json_spirit::object_get(h, "succeed", ok);
        json_spirit::object_get(h, "size", read);
        json_spirit::object_get(h, "storaged_size", written);
        json_spirit::object_get(h, "start_time", start);
        json_spirit::object_get(h, "end_time", end);
        const long long from = local_seconds(start), to = local_seconds(end);
        char duration[32] = "-";
        if (from >= 0 && to >= from)
            std::snprintf(duration, sizeof duration, "%llds", to - from);
        std::printf("%-32s %-9s %15llu %15llu %9s\n", name.c_str(), ok ? "succeeded" : "failed",
                    read, written, duration);
    }
}

int usage() {
    std::fprintf(stderr, "usage: job-engine [--module PATH] [--timeout SECONDS] DEFINITION.json\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string module_path = DEFAULT_MODULE_PATH;
    std::string def_path;
    long timeout_s = -1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--module" && i + 1 < argc) {
            module_path = argv[++i];
        } else if (a == "--timeout" && i + 1 < argc) {
            timeout_s = std::strtol(argv[++i], nullptr, 10);
        } else if (!a.empty() && a[0] == '-') {
            return usage();
        } else if (def_path.empty()) {
            def_path = a;
        } else {
            return usage();
        }
    }
    if (def_path.empty())
        return usage();

    // Signals are taken by one thread only, so a Ctrl-C never lands inside the
    // job's threads.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGUSR2);  // our own "leave" to the signal thread
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    Module module;
    module.handle = dlopen(module_path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module.handle) {
        std::fprintf(stderr, "job-engine: cannot load %s: %s\n", module_path.c_str(), dlerror());
        return 2;
    }

    Job::Definition_Ptr def(new Job_Definition());
    std::string error;
    {
        // Read the type first: it decides which parsers the module must supply.
        json_spirit::Value doc;
        std::string text;
        if (FILE* f = std::fopen(def_path.c_str(), "rb")) {
            char buf[65536];
            size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
                text.append(buf, n);
            std::fclose(f);
        } else {
            std::fprintf(stderr, "job-engine: cannot open %s\n", def_path.c_str());
            return 2;
        }
        if (!json_spirit::read(text, doc, &error) || doc.type() != json_spirit::obj_type) {
            std::fprintf(stderr, "job-engine: %s: %s\n", def_path.c_str(),
                         error.empty() ? "a job definition is a JSON object" : error.c_str());
            return 2;
        }
        int type = 0;
        json_spirit::object_get(doc.get_obj(), "type", type);
        const char* kind = type == JOB_DEFINITION_BACKUP    ? "Backup"
                           : type == JOB_DEFINITION_RESTORE ? "Restore"
                                                            : nullptr;
        Made<Parser_Creator> options_creator, source_creator;
        if (kind) {
            std::string opt_name = std::string("_make_SmartX_") + kind + "_Options_Parser_Creator";
            std::string src_name = std::string("_make_SmartX_") + kind + "_Source_Parser_Creator";
            options_creator.obj =
                module.make<Parser_Creator>(opt_name.c_str(), &options_creator.gobble);
            source_creator.obj =
                module.make<Parser_Creator>(src_name.c_str(), &source_creator.gobble);
        }
        if (!def->load(doc.get_obj(), options_creator.obj, source_creator.obj, &error)) {
            std::fprintf(stderr, "job-engine: %s: %s\n", def_path.c_str(), error.c_str());
            return 2;
        }
    }

    Made<Job_Creator> creator;
    creator.obj = module.make<Job_Creator>("_make_SmartX_Job_Creator", &creator.gobble);
    if (!creator.obj) {
        std::fprintf(stderr, "job-engine: %s has no job creator\n", module_path.c_str());
        return 2;
    }
    creator.obj->init(0, nullptr);
    ACE_Intrusive_Auto_Ptr<Job> job = creator.obj->create(def);
    if (!job.get()) {
        std::fprintf(stderr, "job-engine: the module makes no job for a definition of type %d\n",
                     static_cast<int>(def->type));
        creator.obj->fini();
        return 2;
    }

    std::atomic<bool> succeeded{false};
    Progress_Printer progress;
    job->set_report_listener([&succeeded, &progress](const Job_Report& r) {
        if (r.kind == Job_Report::VM_PROGRESS) {
            progress.print(r);
            std::fflush(stdout);
            return;
        }
        if (r.kind == Job_Report::SUCCESS)
            succeeded = true;
        std::printf("report: %s", job_report_kind_name(r.kind));
        if (r.kind == Job_Report::FAILURE)
            std::printf(" code=%d", r.code);
        if (!r.message.empty())
            std::printf(" message=\"%s\"", r.message.c_str());
        std::printf("\n");
        std::fflush(stdout);
    });

    const std::set<pid_t> threads = note_threads();
    if (job->start(nullptr) != 0) {
        std::fprintf(stderr, "job-engine: the job did not start\n");
        creator.obj->fini();
        return 1;
    }

    std::thread signal_thread([&job, &stop_signals] {
        int sig = 0;
        while (sigwait(&stop_signals, &sig) == 0) {
            if (sig == SIGUSR2)
                return;  // told to leave
            std::fprintf(stderr, "job-engine: stopping the job\n");
            job->stop(nullptr);
        }
    });

    bool done = job->wait_for_completion(timeout_s < 0 ? -1 : timeout_s * 1000);
    if (!done) {
        std::fprintf(stderr, "job-engine: the job did not finish in %ld s; stopping it\n",
                     timeout_s);
        job->stop(nullptr);
        job->wait_for_completion(-1);
    }
    pthread_kill(signal_thread.native_handle(), SIGUSR2);
    signal_thread.join();

    const Job_Activity& act = job->activity();
    std::printf("job %s: state=%d code=%d\n", def->id.c_str(), static_cast<int>(act.state),
                act.code);
    json_spirit::Object results = job->results();
    if (!results.empty()) {
        std::printf("results: %s\n", json_spirit::write(json_spirit::Value(results)).c_str());
        print_vm_table(results);
    }
    // Where each restored VM's sets lie, as the job recorded it.
    const std::vector<Job_Result::Restore_Path_Entry> paths = job->restore_paths();
    if (!paths.empty()) {
        json_spirit::Array list;
        for (const Job_Result::Restore_Path_Entry& p : paths)
            list.push_back(json_spirit::Object{{"vm_id", json_spirit::Value(p.vm_id)},
                                               {"vm_name", json_spirit::Value(p.vm_name)},
                                               {"path", json_spirit::Value(p.path)}});
        std::printf("restore paths: %s\n", json_spirit::write(json_spirit::Value(list)).c_str());
    }
    creator.obj->fini();
    job.reset();
    // The run thread drops its own reference last; let it finish before the
    // module goes away.
    ACE_Thread_Manager::instance()->wait();
    // The run thread is detached: gone from ACE's table, it may still be
    // running its thread-local clean-ups, which the exit would cut short.
    if (!wait_for_threads(threads, THREADS_END_BOUND))
        std::fprintf(stderr, "job-engine: threads of the job still run at its end\n");
    return succeeded ? 0 : 1;
}
