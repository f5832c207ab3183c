// The per-VM progress file shared by the reporter and the servant.
#include "smartx/common/progress_info.h"

#include "host/paths.h"
#include "support/log_capture.h"
#include "support/temp_root.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using smartx::VM_Progress_Handle;

namespace {
const int kReporterFlags = O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC;

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
std::vector<std::string> files_below(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file())
            out.push_back(e.path().string());
    return out;
}

// Whether the process holds a descriptor on path (-1: none), and its FD_CLOEXEC.
int cloexec_of(const std::string& path) {
    int result = -1;
    for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(e.path(), ec) == path)
            result = (::fcntl(std::stoi(e.path().filename()), F_GETFD) & FD_CLOEXEC) ? 1 : 0;
    }
    return result;
}
}  // namespace

TEST(ProgressFile, CreatingTruncatesToZerosAndCloseOnExecFollowsTheFlag) {
    Temp_Root root;
    const std::string path = progress_path(root, "job-1", "vm-1");
    {
        VM_Progress_Handle h;
        ASSERT_EQ(h.open("job-1", "vm-1", kReporterFlags, 0750), 0);
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(10000, '\x7f');
    VM_Progress_Handle created;
    ASSERT_EQ(created.open("job-1", "vm-1", kReporterFlags, 0750), 0);
    EXPECT_EQ(created->state, VM_Job_Progress::STATE_PENDING);
    EXPECT_EQ(read_file(path), std::string(4096, '\0'));
    EXPECT_EQ(cloexec_of(path), 1);
    created.close();

    VM_Progress_Handle inherited;
    ASSERT_EQ(inherited.open("job-1", "vm-1", false, false, 0750), 0);
    EXPECT_EQ(cloexec_of(path), 0);
    inherited.close();
    EXPECT_EQ(cloexec_of(path), -1);
}

TEST(ProgressFile, ServantOpenOfAMissingFileFailsAndCreatesNothing) {
    Temp_Root root;
    Log_Capture log;
    VM_Progress_Handle h;
    EXPECT_EQ(h.open("job-1", "vm-x", false, true, 0750), -1);
    EXPECT_FALSE(h);
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Failed to memory map " +
                                                    progress_path(root, "job-1", "vm-x") +
                                                    ", errno=2, No such file or directory\n"});
    EXPECT_EQ(log.lines().at(0).priority, LM_ERROR);
    EXPECT_TRUE(files_below(root.path()).empty());
}

TEST(ProgressFile, RefusesIdsOutsideTheDirectory) {
    Temp_Root root;
    // A file a traversal would hit: it must survive untouched.
    const std::string victim = root.path() + "/var/opt/velmora/tarnvik3/smartx/act/victim";
    ASSERT_EQ(make_directories(root.path() + "/var/opt/velmora/tarnvik3/smartx/act", 0750), 0);
    std::ofstream(victim) << "keep";

    const std::string with_nul("vm\0/../../victim", 16);
    const struct {
        String_Arg id;
        String_Arg basename;
        const char* bad;
    } rows[] = {
        {nullptr, "vm", "id"},
        {"", "vm", "id"},
        {".", "vm", "id"},
        {"..", "victim", "id"},
        {"a/b", "vm", "id"},
        {with_nul, "vm", "id"},
        {"job", "../../victim", "basename"},
        {"job", with_nul, "basename"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.bad);
        Log_Capture log;
        VM_Progress_Handle h;
        EXPECT_EQ(h.open(row.id, row.basename, kReporterFlags, 0750), -1);
        EXPECT_EQ(h.open(row.id, row.basename, true, true, 0750), -1);
        EXPECT_FALSE(h);
        ASSERT_EQ(log.lines().size(), 2u);
        for (const auto& e : log.lines()) {
            EXPECT_EQ(e.priority, LM_EMERGENCY);
            EXPECT_EQ(e.text.rfind("Unexpected error in ", 0), 0u);
            EXPECT_NE(e.text.find(std::string(", ") + row.bad + " is NULL or \"\":\n"),
                      std::string::npos)
                << e.text;
        }
    }
    EXPECT_EQ(read_file(victim), "keep");
    EXPECT_EQ(files_below(root.path()), std::vector<std::string>{victim});
}

TEST(ProgressFile, SharedBetweenProcessesAtFixedOffsets) {
    Temp_Root root;
    VM_Progress_Handle reporter;
    ASSERT_EQ(reporter.open("job-2", "vm-7", kReporterFlags, 0750), 0);

    const pid_t pid = ::fork();
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
