// Reading, hashing and snapshotting the images.
#include "station/file/profile.h"

#include "jobs/config.h"
#include "jobs/files.h"
#include "jobs/image.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr int64_t MAX_IMAGE_LENGTH = 0x7FFFFFFF; // what host can send

typedef std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> Digest;

Digest new_digest() {
    Digest digest(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!digest || EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1) {
        throw StationError{"SHA-256 is not available"};
    }
    return digest;
}

std::string hex_of(Digest& digest) {
    unsigned char sum[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(digest.get(), sum, &size);
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof(pair), "%02x", sum[i]);
        text += pair;
    }
    return text;
}

// Hashes an image, copying it to `copy` on the way when it is given.
std::string hash_file(const std::string& path, FILE* copy = nullptr) {
    int64_t size = 0;
    std::unique_ptr<FILE, int (*)(FILE*)> file(open_regular_file(path, size), std::fclose);
    if (!file) {
        throw StationError{path + ": File error"};
    }
    if (size > MAX_IMAGE_LENGTH) {
        throw StationError{path + ": Image too large: " + std::to_string(size) + " bytes"};
    }
    Digest digest = new_digest();
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof(chunk), file.get())) > 0) {
        EVP_DigestUpdate(digest.get(), chunk, n);
        if (copy != nullptr && std::fwrite(chunk, 1, n, copy) != n) {
            throw StationError{"cannot write the snapshot of " + path};
        }
    }
    if (std::ferror(file.get())) {
        throw StationError{path + ": Reading error"};
    }
    return hex_of(digest);
}

long long frames_for(const std::string& path) {
    std::error_code ignored;
    auto size = fs::file_size(path, ignored);
    return size == static_cast<std::uintmax_t>(-1)
               ? 0
               : static_cast<long long>(data_frames_for(static_cast<int64_t>(size)));
}

// The address as host reads it: hexadecimal in the signed 32-bit range.
std::string signed_hex(uint32_t address) {
    char text[16];
    if (address <= 0x7FFFFFFF) {
        std::snprintf(text, sizeof(text), "%X", address);
    } else {
        std::snprintf(text, sizeof(text), "-%X", static_cast<unsigned>(0u - address));
    }
    return text;
}

// Copies one image into the snapshot as `to`, read-only; its bytes must hash
// to `expected`.
void copy_image(const std::string& from, const fs::path& to, const std::string& expected) {
    // The folder is the round's own: each file is made new in it ("x").
    std::unique_ptr<FILE, int (*)(FILE*)> copy(std::fopen(to.c_str(), "wbx"), std::fclose);
    if (!copy) {
        throw StationError{"cannot write the snapshot " + to.string()};
    }
    std::string got = hash_file(from, copy.get());
    if (std::fflush(copy.get()) != 0 || fsync(fileno(copy.get())) != 0) {
        throw StationError{"cannot write the snapshot " + to.string()};
    }
    copy.reset();
    if (got != expected) {
        throw StationError{from + " changed since `station lock`: its bytes are not the locked "
                                  "ones (lock again to program the new image)"};
    }
    chmod(to.c_str(), 0400);
}

const char SNAPSHOT_PREFIX[] = ".station-round-";
// The snapshot's mark: its station and machine. Its round holds a lock on
// it (flock) as long as the round, or a host it started, lives.
const char OWNER_FILE_NAME[] = ".station-owner";

// This machine: its id, else its name (a folder may be shared by several,
// and a lock is seen only by the machine that holds it).
std::string this_machine() {
    std::ifstream in("/etc/machine-id");
    std::string id;
    std::getline(in, id);
    if (!id.empty()) {
        return id;
    }
    char name[256] = {};
    gethostname(name, sizeof(name) - 1);
    return name;
}

std::string owner_mark(const std::string& owner) {
    return "station " + owner + "\nmachine " + this_machine() + "\n";
}

// Writes the mark under a name of its own, locks it, then gives it its
// name: a cleaner never finds the mark unlocked. Returns the lock's
// descriptor.
int write_locked_mark(const fs::path& folder, const std::string& owner) {
    fs::path draft = folder / (std::string(OWNER_FILE_NAME) + ".new");
    int fd = open(draft.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0400);
    std::string mark = owner_mark(owner);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        write(fd, mark.data(), mark.size()) != static_cast<ssize_t>(mark.size()) ||
        rename(draft.c_str(), (folder / OWNER_FILE_NAME).c_str()) != 0) {
        int error = errno;
        if (fd >= 0) {
            close(fd);
        }
        throw StationError{"cannot mark the snapshot " + folder.string() + ": " +
                           std::strerror(error)};
    }
    return fd;
}

// Whether a folder is a snapshot that a round of `owner` on this machine
// left, whose round and hosts are all gone: this user's folder (not a
// link) with this user's mark naming both, whose lock nobody holds. Locks
// are seen on the machine that holds them only: a mark of another machine
// proves nothing. On true, `lock` holds the mark's lock.
bool left_by_the_dead(const fs::path& folder, const std::string& owner, int& lock) {
    struct stat about;
    if (lstat(folder.c_str(), &about) != 0 || !S_ISDIR(about.st_mode) ||
        about.st_uid != geteuid()) {
        return false;
    }
    int fd = open((folder / OWNER_FILE_NAME).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char text[1024];
    ssize_t n = -1;
    if (fstat(fd, &about) == 0 && S_ISREG(about.st_mode) && about.st_uid == geteuid()) {
        n = read(fd, text, sizeof(text));
    }
    if (n < 0 || std::string(text, static_cast<size_t>(n)) != owner_mark(owner) ||
        flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    lock = fd;
    return true;
}

// The names the images take in a snapshot: their own files' names, unless
// two are the same or one is a name the snapshot keeps for itself.
std::vector<std::string> snapshot_names(const Images& images) {
    std::vector<std::string> own, fixed;
    for (const ImageInfo& image : image_kinds()) {
        own.push_back(fs::path(images.*image.path).filename().string());
        fixed.push_back(image.file);
    }
    for (size_t i = 0; i < own.size(); ++i) {
        bool reserved = own[i].empty() || own[i] == CONFIG_FILE_NAME || own[i] == "boards" ||
                        own[i].rfind(OWNER_FILE_NAME, 0) == 0;
        if (reserved || std::count(own.begin(), own.end(), own[i]) > 1) {
            return fixed;
        }
    }
    return own;
}

// Writes `text` as a new read-only file.
void write_new_file(const fs::path& path, const std::string& text) {
    std::unique_ptr<FILE, int (*)(FILE*)> out(std::fopen(path.c_str(), "wbx"), std::fclose);
    if (!out || std::fwrite(text.data(), 1, text.size(), out.get()) != text.size() ||
        std::fflush(out.get()) != 0 || fsync(fileno(out.get())) != 0) {
        throw StationError{"cannot write " + path.string()};
    }
    chmod(path.c_str(), 0400);
}

} // namespace

std::string hash_text(const std::string& text) {
    Digest digest = new_digest();
    EVP_DigestUpdate(digest.get(), text.data(), text.size());
    return hex_of(digest);
}

Images read_images(const std::string& config_path) {
    ConfigFile config;
    if (!open_config_at(config, config_path)) {
        throw StationError{config_path + ": " + CONFIG_UNREADABLE};
    }
    Images images;
    const struct {
        const ImageEntry& entry;
        std::string& path;
    } entries[] = {{BOARD_DATA_ENTRY, images.board_data},
                   {OTP_ENTRY, images.otp},
                   {FIRMWARE_ENTRY, images.firmware}};
    fs::path folder = fs::absolute(config_path).parent_path();
    for (const auto& e : entries) {
        if (!read_image_path(config, e.entry, e.path)) {
            throw StationError{config_path + ": " + e.entry.missing};
        }
        if (e.entry.line == OTP_ENTRY.line) {
            if (const char* wrong = read_otp_address(config, images.otp_address)) {
                throw StationError{config_path + ": " + wrong};
            }
        }
        e.path = fs::path(e.path).is_absolute() ? e.path : (folder / e.path).string();
    }
    return images;
}

Profile profile_of(const Images& images) {
    Profile profile;
    profile.board_data_sha256 = hash_file(images.board_data);
    profile.otp_sha256 = hash_file(images.otp);
    profile.firmware_sha256 = hash_file(images.firmware);
    profile.otp_address = address_text(images.otp_address);
    profile.id = hash_text(profile.board_data_sha256 + profile.otp_sha256 +
                           profile.firmware_sha256 + profile.otp_address);
    profile.locked = utc_now();
    return profile;
}

const std::vector<ImageInfo>& image_kinds() {
    static const std::vector<ImageInfo> table = {
        {ImageKind::board_data, "board data", "board data", "board_data.bin", &Images::board_data,
         &Profile::board_data_sha256, &Record::board_data_sha256},
        {ImageKind::otp, "otp", "OTP", "otp.bin", &Images::otp, &Profile::otp_sha256,
         &Record::otp_sha256},
        {ImageKind::firmware, "firmware", "firmware", "firmware.bin", &Images::firmware,
         &Profile::firmware_sha256, &Record::firmware_sha256}};
    return table;
}

std::string hash_line(const ImageInfo& image, const std::string& hash) {
    std::string name = image.shown;
    name.resize(std::max<size_t>(name.size(), 10), ' ');
    return name + " " + hash;
}

const ImageInfo& image_info(ImageKind kind) {
    return image_kinds()[static_cast<size_t>(kind)];
}

Snapshot::Snapshot(const Images& images, const Profile& profile, const std::string& parent,
                   const std::string& owner) {
    std::string pattern = (fs::path(parent) / (std::string(SNAPSHOT_PREFIX) + "XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    // mkdtemp makes the folder, mode 0700, or fails: nothing found is used.
    if (mkdtemp(name.data()) == nullptr) {
        throw StationError{"cannot make the round's snapshot in " + parent + ": " +
                           std::strerror(errno)};
    }
    folder_ = name.data();
    names_ = snapshot_names(images);
    try {
        mark_ = write_locked_mark(folder_, owner);
        for (const ImageInfo& image : image_kinds()) {
            fs::path to = fs::path(folder_) / file_of(image.kind);
            copy_image(images.*image.path, to, profile.*image.locked_hash);
            hashes_.push_back({to.string(), profile.*image.locked_hash});
        }
        config_ = "Boarddata: " + file_of(ImageKind::board_data) +
                  "\nOTP: " + file_of(ImageKind::otp) +
                  "\nOTPAddress: " + signed_hex(images.otp_address) +
                  "\nFirmware: " + file_of(ImageKind::firmware) + "\n";
        write_new_file(fs::path(folder_) / CONFIG_FILE_NAME, config_);
        std::vector<std::string> files = names_;
        files.push_back(CONFIG_FILE_NAME);
        for (const std::string& file_name : files) {
            std::string path = (fs::path(folder_) / file_name).string();
            struct stat about;
            if (stat(path.c_str(), &about) != 0) {
                throw StationError{"cannot read back " + path};
            }
            seen_.push_back({path, static_cast<unsigned long long>(about.st_ino),
                             static_cast<unsigned long long>(about.st_size),
                             static_cast<unsigned long long>(about.st_ctim.tv_sec) * 1000000000ULL +
                                 static_cast<unsigned long long>(about.st_ctim.tv_nsec)});
        }
        // Boards with images of their own have folders in "boards"; nothing
        // else is added or renamed in the snapshot while the round runs.
        if (mkdir((fs::path(folder_) / "boards").c_str(), 0700) != 0) {
            throw StationError{"cannot make " + folder_ + "/boards"};
        }
        chmod(folder_.c_str(), 0500);
    } catch (...) {
        std::error_code ignored;
        fs::permissions(folder_, fs::perms::owner_all, ignored);
        fs::remove_all(folder_, ignored);
        if (mark_ >= 0) {
            close(mark_);
        }
        throw;
    }
}

Snapshot::~Snapshot() {
    std::error_code ignored;
    fs::permissions(folder_, fs::perms::owner_all, ignored);
    fs::remove_all(folder_, ignored);
    close(mark_);
}

std::vector<std::string> remove_left_snapshots(const std::string& parent,
                                               const std::string& owner) {
    std::vector<std::string> removed;
    std::error_code none;
    for (const fs::directory_entry& entry : fs::directory_iterator(parent, none)) {
        std::string name = entry.path().filename().string();
        int lock = -1;
        if (name.rfind(SNAPSHOT_PREFIX, 0) != 0 || !left_by_the_dead(entry.path(), owner, lock)) {
            continue;
        }
        std::error_code failed;
        fs::permissions(entry.path(), fs::perms::owner_all, failed);
        fs::remove_all(entry.path(), failed);
        close(lock);
        if (failed) {
            throw StationError{"cannot remove " + entry.path().string() +
                               ", which a round of station " + owner +
                               " left: " + failed.message()};
        }
        removed.push_back(name);
    }
    return removed;
}

std::string Snapshot::board_folder(const std::string& name, ImageKind kind, long long offset,
                                   const std::string& mac, std::string& hash) const {
    const std::string& file = file_of(kind);
    std::string locked_path = (fs::path(folder_) / file).string();
    std::ifstream locked(locked_path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(locked)), std::istreambuf_iterator<char>());
    if (!locked.good() && !locked.eof()) {
        throw StationError{"cannot read " + locked_path};
    }
    if (offset < 0 || static_cast<size_t>(offset) + 6 > bytes.size()) {
        throw StationError{"the MAC's six bytes at offset " + std::to_string(offset) +
                           " do not fit in " + file};
    }
    for (int i = 0; i < 6; ++i) {
        bytes[static_cast<size_t>(offset + i)] =
            static_cast<char>(std::stoi(mac.substr(static_cast<size_t>(2 * i), 2), nullptr, 16));
    }
    hash = hash_text(bytes);
    fs::path folder = fs::path(folder_) / "boards" / name;
    if (mkdir(folder.c_str(), 0700) != 0) {
        throw StationError{"cannot make " + folder.string() + ": " + std::strerror(errno)};
    }
    write_new_file(folder / file, bytes);
    write_new_file(folder / CONFIG_FILE_NAME, config_);
    // The round's other two images under their own names: links, not copies
    // (a hard link would change the copies' change time, which is watched).
    for (const std::string& other : names_) {
        if (other != file && symlink(("../../" + other).c_str(), (folder / other).c_str()) != 0) {
            throw StationError{"cannot link " + (folder / other).string() + ": " +
                               std::strerror(errno)};
        }
    }
    return folder.string();
}

bool Snapshot::hashes_match() const {
    for (const auto& [path, hash] : hashes_) {
        try {
            if (hash_file(path) != hash) {
                return false;
            }
        } catch (const StationError&) {
            return false;
        }
    }
    return true;
}

bool Snapshot::unchanged() const {
    for (const Seen& s : seen_) {
        struct stat about;
        if (stat(s.path.c_str(), &about) != 0 ||
            static_cast<unsigned long long>(about.st_ino) != s.inode ||
            static_cast<unsigned long long>(about.st_size) != s.size ||
            static_cast<unsigned long long>(about.st_ctim.tv_sec) * 1000000000ULL +
                    static_cast<unsigned long long>(about.st_ctim.tv_nsec) !=
                s.changed_ns) {
            return false;
        }
    }
    return true;
}

RunFrames run_frames(const Images& images) {
    return {frames_for(images.board_data), frames_for(images.otp), frames_for(images.firmware)};
}

std::string address_text(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof(text), "%08x", address);
    return text;
}
