#include "host/job/activity_map.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include "host/paths.h"

Job_Activity_Map::~Job_Activity_Map() {
    close();
}

std::string Job_Activity_Map::path_of(const std::string& def_id) {
    return Path_Conf(JOB_ACTIVITY_DIR, def_id.c_str(), false, JOB_ACTIVITY_BASENAME, 0750).str();
}

int Job_Activity_Map::open(const std::string& def_id, bool create) {
    close();
    if (def_id.empty() || def_id.find('/') != std::string::npos || def_id == "." ||
        def_id == "..") {
        errno = EINVAL;
        return -1;
    }
    Path_Conf conf(JOB_ACTIVITY_DIR, def_id.c_str(), create, JOB_ACTIVITY_BASENAME, 0750);
    if (!conf.ok())
        return -1;
    int fd = ::open(conf.str().c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0640);
    if (fd < 0)
        return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    if (st.st_size == 0 && create) {
        if (::ftruncate(fd, sizeof(Job_Activity)) != 0) {
            int e = errno;
            ::close(fd);
            errno = e;
            return -1;
        }
    } else if (st.st_size < static_cast<off_t>(sizeof(Job_Activity))) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    void* p = ::mmap(nullptr, sizeof(Job_Activity), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int e = errno;
    ::close(fd);
    if (p == MAP_FAILED) {
        errno = e;
        return -1;
    }
    rec_ = static_cast<Job_Activity*>(p);
    if (rec_->magic != Job_Activity::MAGIC) {
        rec_->magic = Job_Activity::MAGIC;
        rec_->version = Job_Activity::VERSION;
    }
    return 0;
}

void Job_Activity_Map::close() {
    if (rec_)
        ::munmap(rec_, sizeof(Job_Activity));
    rec_ = nullptr;
}

int Job_Activity_Map::sync() {
    return rec_ ? ::msync(rec_, sizeof(Job_Activity), MS_SYNC) : -1;
}
