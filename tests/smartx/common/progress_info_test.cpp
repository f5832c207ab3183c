#include "smartx/common/progress_info.h"

#include "host/paths.h"
#include "support/log_capture.h"
#include "support/temp_root.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

using smartx::VM_Progress_Handle;
using smartx::VM_Progress_Info;

namespace {
// The reporter's flags: O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC.
const int kReporterFlags = 0x80242;

std::string progress_path(const Temp_Root& root, const std::string& job, const std::string& vm) {
    return root.path() + "/var/opt/velmora/tarnvik3/smartx/act/smartx/" + job + "/" + vm;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

template <class T>
T field_at(const std::string& bytes, size_t offset) {
    T v;
    std::memcpy(&v, bytes.data() + offset, sizeof v);
    return v;
}

// Every regular file below dir.
void list_files(const std::string& dir, std::vector<std::string>& out) {
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        std::string path = dir + "/" + name;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            list_files(path, out);
        else
            out.push_back(path);
    }
    ::closedir(d);
}

// Whether the process holds a descriptor on path, and its FD_CLOEXEC.
int cloexec_of(const std::string& path) {
    DIR* d = ::opendir("/proc/self/fd");
    int result = -1;
    while (dirent* e = d ? ::readdir(d) : nullptr) {
        char target[4096];
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = 0;
        if (path == target) {
            int flags = ::fcntl(std::atoi(e->d_name), F_GETFD);
            result = (flags & FD_CLOEXEC) ? 1 : 0;
        }
    }
    if (d)
        ::closedir(d);
    return result;
}
}  // namespace

TEST(ProgressRecord, ReporterFlagsAreTheOpenFlags) {
    EXPECT_EQ(kReporterFlags, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC);
}

TEST(ProgressRecord, CreatingTruncatesToZeros) {
    Temp_Root root;
    const std::string path = progress_path(root, "job-1", "vm-1");
    {
        VM_Progress_Handle h;
        ASSERT_EQ(h.open("job-1", "vm-1", kReporterFlags, 0750), 0);
    }
    { std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(10000, '\x7f'); }
    VM_Progress_Handle h;
    ASSERT_EQ(h.open("job-1", "vm-1", kReporterFlags, 0750), 0);
    EXPECT_EQ(h->state, VM_Job_Progress::STATE_PENDING);
    EXPECT_EQ(h->total_bytes, 0u);
    EXPECT_EQ(h->processed_virtual_disk_count, 0);

    const std::string bytes = read_file(path);
    ASSERT_EQ(bytes.size(), 4096u);
    EXPECT_EQ(bytes, std::string(4096, '\0'));
    EXPECT_EQ(cloexec_of(path), 1);
}

TEST(ProgressRecord, ServantOpenOfAMissingFileFails) {
    Temp_Root root;
    const std::string path = progress_path(root, "job-1", "vm-x");
    Log_Capture log;
    VM_Progress_Handle h;
    EXPECT_EQ(h.open("job-1", "vm-x", false, true, 0750), -1);
    EXPECT_FALSE(h);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].priority, LM_ERROR);
    EXPECT_EQ(log.lines()[0].text,
              "Failed to memory map " + path + ", errno=2, No such file or directory\n");
    std::vector<std::string> files;
    list_files(root.path(), files);
    EXPECT_TRUE(files.empty()) << files[0];
}

TEST(ProgressRecord, ServantOpenOfATruncatedFileFails) {
    Temp_Root root;
    {
        VM_Progress_Handle h;
        ASSERT_EQ(h.open("job-1", "vm-1", kReporterFlags, 0750), 0);
    }
    const std::string path = progress_path(root, "job-1", "vm-1");
    ASSERT_EQ(::truncate(path.c_str(), 20), 0);

    Log_Capture log;
    VM_Progress_Handle h;
    EXPECT_EQ(h.open("job-1", "vm-1", false, true, 0750), -1);
    EXPECT_FALSE(h);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].text,
              "Failed to memory map " + path + ", errno=22, Invalid argument\n");
}

TEST(ProgressRecord, RefusesIdsOutsideTheDirectory) {
    Temp_Root root;
    // A file a traversal would hit: it must survive untouched.
    const std::string victim = root.path() + "/var/opt/velmora/tarnvik3/smartx/act/victim";
    ASSERT_EQ(make_directories(root.path() + "/var/opt/velmora/tarnvik3/smartx/act", 0750), 0);
    std::ofstream(victim) << "keep";

    const std::string with_nul("vm\0/../../victim", 16);
    struct Bad {
        String_Arg id;
        String_Arg basename;
        const char* name;
    };
    const Bad bad[] = {
        {nullptr, "vm", "id"},
        {"", "vm", "id"},
        {".", "vm", "id"},
        {"..", "victim", "id"},
        {"a/b", "vm", "id"},
        {"/", "vm", "id"},
        {with_nul, "vm", "id"},
        {"job", nullptr, "basename"},
        {"job", "", "basename"},
        {"job", ".", "basename"},
        {"job", "..", "basename"},
        {"..", "..", "id"},
        {"job", "../../victim", "basename"},
        {"job", with_nul, "basename"},
    };
    Log_Capture log;
    for (const Bad& b : bad) {
        VM_Progress_Handle h;
        EXPECT_EQ(h.open(b.id, b.basename, kReporterFlags, 0750), -1);
        EXPECT_EQ(h.open(b.id, b.basename, true, true, 0750), -1);
        EXPECT_FALSE(h);
    }
    ASSERT_EQ(log.lines().size(), 2 * sizeof bad / sizeof bad[0]);
    for (size_t i = 0; i < log.lines().size(); ++i) {
        const auto& e = log.lines()[i];
        EXPECT_EQ(e.priority, LM_EMERGENCY);
        EXPECT_EQ(e.text.rfind("Unexpected error in ", 0), 0u);
        EXPECT_NE(e.text.find(std::string(", ") + bad[i / 2].name + " is NULL or \"\":\n"),
                  std::string::npos)
            << e.text;
    }

    EXPECT_EQ(read_file(victim), "keep");
    std::vector<std::string> files;
    list_files(root.path(), files);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0], victim);
}

TEST(ProgressRecord, SharedBetweenProcesses) {
    Temp_Root root;
    VM_Progress_Handle reporter;
    ASSERT_EQ(reporter.open("job-2", "vm-7", kReporterFlags, 0750), 0);

    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The servant: opens the existing file and updates it.
        VM_Progress_Handle servant;
        if (servant.open(std::string("job-2"), std::string("vm-7"), false, true, 0750) != 0)
            ::_exit(10);
        if (servant->state != VM_Job_Progress::STATE_PENDING)
            ::_exit(11);
        servant->total_bytes = 0x1122334455667788ULL;
        servant->processed_bytes = 4096;
        servant->virtual_disk_count = 3;
        servant->processed_virtual_disk_count = 2;
        servant->start_time = 1700000000;
        servant->end_time = 1700000123;
        servant->state = VM_Job_Progress::STATE_COMPLETED;
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);

    // Seen through the reporter's own mapping...
    EXPECT_EQ(reporter->total_bytes, 0x1122334455667788ULL);
    EXPECT_EQ(reporter->processed_bytes, 4096u);
    EXPECT_EQ(reporter->virtual_disk_count, 3);
    EXPECT_EQ(reporter->processed_virtual_disk_count, 2);
    EXPECT_EQ(reporter->start_time, 1700000000);
    EXPECT_EQ(reporter->end_time, 1700000123);
    EXPECT_EQ(reporter->state, VM_Job_Progress::STATE_COMPLETED);

    // ...and in the file at the fixed offsets, little-endian.
    const std::string bytes = read_file(progress_path(root, "job-2", "vm-7"));
    ASSERT_EQ(bytes.size(), 4096u);
    EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0x88);
    EXPECT_EQ(field_at<uint64_t>(bytes, 0), 0x1122334455667788ULL);
    EXPECT_EQ(field_at<uint64_t>(bytes, 8), 4096u);
    EXPECT_EQ(field_at<int32_t>(bytes, 16), 3);
    EXPECT_EQ(field_at<int32_t>(bytes, 20), 2);
    EXPECT_EQ(field_at<int64_t>(bytes, 24), 1700000000);
    EXPECT_EQ(field_at<int64_t>(bytes, 32), 1700000123);
    EXPECT_EQ(field_at<int32_t>(bytes, 40), 2);
    EXPECT_EQ(bytes.substr(44), std::string(4096 - 44, '\0'));
}

TEST(ProgressRecord, CloseOnExecFollowsTheFlag) {
    Temp_Root root;
    VM_Progress_Handle created;
    ASSERT_EQ(created.open("job-3", "vm-1", kReporterFlags, 0750), 0);
    created.close();
    const std::string path = progress_path(root, "job-3", "vm-1");

    VM_Progress_Handle inherited;
    ASSERT_EQ(inherited.open("job-3", "vm-1", false, false, 0750), 0);
    EXPECT_EQ(cloexec_of(path), 0);
    inherited.close();

    VM_Progress_Handle own;
    ASSERT_EQ(own.open("job-3", "vm-1", false, true, 0750), 0);
    EXPECT_EQ(cloexec_of(path), 1);
    own.close();
    EXPECT_EQ(cloexec_of(path), -1);
}
