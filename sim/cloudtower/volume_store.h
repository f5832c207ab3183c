// The volume store shared with the simulated ZBS library: one sparse file per
// ZBS volume (or volume snapshot), named by its ZBS id, in one directory.
#ifndef SIM_CLOUDTOWER_VOLUME_STORE_H
#define SIM_CLOUDTOWER_VOLUME_STORE_H

#include <cstdint>
#include <string>

namespace sim {
namespace cloudtower {

class Volume_Store {
public:
    // An empty directory disables the store: every operation then succeeds
    // without touching a file (an inventory-only simulator).
    explicit Volume_Store(std::string dir = std::string()) : dir_(std::move(dir)) {}

    const std::string& dir() const { return dir_; }
    bool enabled() const { return !dir_.empty(); }
    std::string path(const std::string& id) const;

    // Makes the directory; false with the reason in error.
    bool prepare(std::string* error) const;
    // A new sparse file of size bytes; an existing file is an error.
    bool create(const std::string& id, int64_t size, std::string* error) const;
    // Creates the file when it does not exist yet; an existing one is kept.
    bool ensure(const std::string& id, int64_t size, std::string* error) const;
    // Copies only the data ranges (SEEK_DATA/SEEK_HOLE) into a new file of the
    // same size, so holes stay holes; the copy appears whole or not at all.
    bool copy_sparse(const std::string& from, const std::string& to, std::string* error) const;
    // A missing file is no error.
    bool remove(const std::string& id, std::string* error) const;

private:
    std::string dir_;
};

}  // namespace cloudtower
}  // namespace sim

#endif
