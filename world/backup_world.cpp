#include "world/backup_world.h"

#include <fcntl.h>

#include <cstring>
#include <stdexcept>

#include "host/client_io.h"
#include "host/paths.h"
#include "host/uuid.h"
#include "world/host_settings.h"
#include "world/pool_image.h"

namespace world {

namespace {
constexpr uint64_t BLOCK = 256 * 1024;
}

Backup_World::Backup_World(const Backup_World_Options& options)
    : root_(options.root), pool_dir_(root_ + "/pool"), fixtures_(options.fixtures_dir) {
    try {
        if (make_directories(pool_dir_, 0750) != 0)
            throw std::runtime_error("cannot make " + pool_dir_);
        store_dir_ = make_zbs_store(options.store_parent.empty() ? root_ : options.store_parent);
        zbs_.reset(new Zbs_Sim_Control(install_zbs_sim(options.zbs_library, "5.5.1")));
        zbs_->reset();

        backupd_.reset(new sim::Backup_Server(test_host_keys().public_pem));
        if (!backupd_->start())
            throw std::runtime_error("the backup server did not start");
        write_host_settings(root_, backupd_->port(), "");

        sim::cloudtower::Options tower;
        tower.inventory_file = fixtures_.dir() + "/inventory.json";
        tower.store_dir = store_dir_;
        tower_.reset(new sim::cloudtower::Server(tower));
        std::string why;
        if (!tower_->start(&why))
            throw std::runtime_error("CloudTower simulator: " + why);

        if (activity_.open(def_id, true) != 0)
            throw std::runtime_error("cannot open the job's activity record");
        activity_->state = JOB_STATE_RUNNING;
        uuid_from_string(job_id, activity_->id);
        uuid_from_string(job_uid, activity_->uid);
    } catch (...) {
        tear_down();
        throw;
    }
    defaults_.pool_dir = pool_dir_;
    defaults_.cluster_id = fixtures_.record("clusters", "cluster-hz-01").at("id").get_str();
    defaults_.def_id = def_id;
    defaults_.resource_uuid = resource_uuid;
    defaults_.backupd_port = backupd_->port();
    defaults_.login.host = "127.0.0.1";
    defaults_.login.port = static_cast<uint16_t>(tower_->port());
    defaults_.login.username = "admin";
    defaults_.login.secure_pwd = "admin123";
}

Backup_World::~Backup_World() {
    tear_down();
}

void Backup_World::tear_down() {
    if (tower_)
        tower_->stop();
    if (backupd_)
        backupd_->stop();
    if (zbs_)
        zbs_->reset();
    zbs_.reset();
}

void Backup_World::add_vms(const std::vector<VM>& vms) {
    std::string why;
    for (const auto& kind : vm_records(fixtures_, vms))
        if (!tower_->put_records(kind.first, kind.second, &why))
            throw std::runtime_error("CloudTower records of " + kind.first + ": " + why);
    for (const VM& vm : vms) {
        std::unique_ptr<smartx::VM_Progress_Handle>& p = progress_[vm.id];
        p.reset(new smartx::VM_Progress_Handle);
        if (p->open(def_id, vm.id, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0750) != 0)
            throw std::runtime_error("cannot open the progress record of " + vm.name);
    }
}

std::string Backup_World::volume_file(const Disk& disk) const {
    return tower_->volume_path(disk.zbs_volume_id);
}

void Backup_World::write_disk(const Disk& disk, uint64_t offset, const std::string& data) const {
    write_at(volume_file(disk), offset, data);
}

void Backup_World::fill_disks(const VM& vm) const {
    for (size_t i = 0; i < vm.disks.size(); ++i) {
        const Disk& d = vm.disks[i];
        write_disk(d, 0, pattern(8192, static_cast<char>('A' + i)));
        write_disk(d, d.size / 2, pattern(5000, static_cast<char>('a' + i)));
        write_disk(d, d.size - 777, pattern(777, static_cast<char>('0' + i)));
    }
}

std::vector<std::string> Backup_World::disk_contents(const VM& vm) const {
    std::vector<std::string> out;
    for (const Disk& d : vm.disks)
        out.push_back(file_content(volume_file(d)));
    return out;
}

smartx::VM_Progress_Info& Backup_World::progress(const std::string& vm_id) {
    return *progress_.at(vm_id)->get();
}

std::vector<std::string> Backup_World::pool_files() const {
    return world::pool_files(pool_dir_);
}

std::vector<std::string> Backup_World::vm_snapshot_ids(const std::string& vm_id) const {
    std::vector<std::string> out;
    for (const Value& s : tower_->records("vm_snapshots"))
        if (text_of(member_of(s, "vm"), "id") == vm_id)
            out.push_back(text_of(s, "id"));
    return out;
}

zbs_sim_stats Backup_World::zbs_totals() const {
    zbs_sim_stats s{};
    zbs_->total_stats(&s);
    return s;
}

std::vector<std::pair<unsigned, unsigned>> Backup_World::alerts() const {
    std::vector<std::pair<unsigned, unsigned>> out;
    for (const Value& a : backupd_->alerts()) {
        const uint64_t code = member_of(a, "code").get_uint64();
        out.emplace_back(static_cast<unsigned>(code >> 60), static_cast<unsigned>(code & 0xffff));
    }
    return out;
}

std::string Backup_World::read_image(const std::string& file, uint64_t size,
                                     std::string base) const {
    if (base.empty())
        base.assign(size, '\0');
    std::string why = "data past the end";
    const bool read = read_pool_image(
        "file://" + pool_dir_, file,
        [&](char* data, uint64_t length, uint64_t offset) {
            if (offset + length > size)
                return false;
            std::memcpy(&base[offset], data, length);
            return true;
        },
        BLOCK, &why);
    if (!read)
        throw std::runtime_error("image " + file + ": " + why);
    return base;
}

std::vector<std::string> Backup_World::restore(const VM& vm,
                                               const std::vector<Object>& chain) const {
    std::vector<std::string> out;
    for (const Disk& d : vm.disks) {
        std::string data(d.size, '\0');
        for (const Object& row : chain) {
            const std::string path = piece_path(row, d.volume_local_id);
            if (path.empty())
                throw std::runtime_error("no piece of " + d.name + " in a catalog row");
            // An unchanged disk's piece names no file.
            if (path.find("/not_exists_") == std::string::npos)
                data = read_image(path, d.size, data);
        }
        out.push_back(data);
    }
    return out;
}

std::string pattern(size_t n, char seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(seed + (i * 7 + i / 4096) % 61);
    return s;
}

std::vector<Object> volume_pieces(const Object& row) {
    std::vector<Object> out;
    for (const Value& p : row.at("pieces").get_array())
        if (text_of(p, "object") != "vm_info")
            out.push_back(p.get_obj());
    return out;
}

std::string piece_path(const Object& row, const std::string& volume_local_id) {
    for (const Object& p : volume_pieces(row))
        if (text_of(member_of(Value(p), "extended_attrs"), "vm_volume_local_id") == volume_local_id)
            return p.at("path").get_str();
    return std::string();
}

Object with_piece_size(Object row, const std::string& path, uint64_t size) {
    for (Value& p : row.at("pieces").get_array()) {
        if (text_of(p, "path") == path) {
            p.get_obj()["size"] = size;
            return row;
        }
    }
    throw std::runtime_error("no piece " + path + " in the row");
}

}  // namespace world
