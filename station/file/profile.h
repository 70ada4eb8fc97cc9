// The images a station programs: read from the configuration with host's own
// rules, fixed by their SHA-256 hashes, and copied into a private read-only
// snapshot from which every host of a round reads.
#pragma once

#include "station/base/base.h"

#include <cstdint>
#include <string>
#include <vector>

struct Images {
    std::string board_data, otp, firmware; // paths
    uint32_t otp_address = 0;
};

// The three images, in the order host programs them.
enum class ImageKind { board_data, otp, firmware };
struct ImageInfo {
    ImageKind kind;
    const char* name;  // in the station file and messages: "board data"
    const char* shown; // beside its hash: "OTP"
    const char* file;  // in a round's snapshot when its own name cannot be: "board_data.bin"
    std::string Images::*path;
    std::string Profile::*locked_hash;
    std::string Record::*hash; // the record's hash of the bytes its board got
};
// The table, in that order.
const std::vector<ImageInfo>& image_kinds();
const ImageInfo& image_info(ImageKind kind);
// An image's hash as `lock` and `history` list it, under one another:
// "OTP        9f86d081...".
std::string hash_line(const ImageInfo& image, const std::string& hash);

// Reads the configuration as host's jobs read it; image paths are taken from
// the configuration's folder, where host runs.
Images read_images(const std::string& config_path);
// The hashes of the three images and the address, and the profile's id.
Profile profile_of(const Images& images);
// SHA-256 of `text`, in lower-case hexadecimal.
std::string hash_text(const std::string& text);
// A round's private copy of the images, from which every host of the round
// reads: a folder made new by this process in `parent` (mode 0700, never
// one that was there before), the three images read-only with a
// tivConfig.txt that names them, every copied byte checked against the
// profile. The images keep the names of the engineer's files, so that a
// transcript says "Opening board.bin" as a run by hand does; only names that
// clash take the fixed ones. The folder goes with the object. A mark in it
// names the station `owner` and this machine, and the round holds a lock on
// it for as long as it lives, so that what a round that died left can be
// told apart (remove_left_snapshots).
class Snapshot {
  public:
    Snapshot(const Images& images, const Profile& profile, const std::string& parent,
             const std::string& owner);
    ~Snapshot();
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

    const std::string& folder() const {
        return folder_;
    }
    // The descriptor that holds the mark's lock; a host that reads the
    // snapshot holds it too, so that the folder stays while any does.
    int mark() const {
        return mark_;
    }
    // Whether the files are still the ones written (the same inode, size,
    // and change time): a cheap look, for every board's end.
    bool unchanged() const;
    // Whether the images' bytes still hash to the profile's: the round's
    // last look.
    bool hashes_match() const;
    // The name of an image in the snapshot: "board.bin".
    const std::string& file_of(ImageKind kind) const {
        return names_[static_cast<size_t>(kind)];
    }
    // A folder of one board whose MAC goes into one image (`kind`): that
    // image with the MAC's six bytes at `offset`, every other byte as
    // locked, under the same name, the round's other two images linked in
    // by theirs, and the round's tivConfig.txt. Returns the folder; `hash`
    // gets the SHA-256 of the board's image.
    std::string board_folder(const std::string& name, ImageKind kind, long long offset,
                             const std::string& mac, std::string& hash) const;

  private:
    std::string folder_;
    int mark_ = -1;
    struct Seen {
        std::string path;
        unsigned long long inode, size, changed_ns;
    };
    std::vector<Seen> seen_;
    std::vector<std::pair<std::string, std::string>> hashes_; // path, SHA-256
    std::vector<std::string> names_;                          // by ImageKind
    std::string config_;                                      // the round's tivConfig.txt
};
// Removes the snapshots in `parent` that rounds of station `owner` on this
// machine left when they died (killed, a power cut), and returns their
// names: only folders of this user marked by `owner` on this machine whose
// lock nobody holds (the round and every host it started are gone). A
// folder without the mark, of another station or machine, or still locked,
// stays. Throws StationError when one cannot be removed.
std::vector<std::string> remove_left_snapshots(const std::string& parent, const std::string& owner);

// The frames that carry data (one dot each) of each of the three images.
RunFrames run_frames(const Images& images);
// The address as the export writes it: 8 lower-case hexadecimal digits.
std::string address_text(uint32_t address);
