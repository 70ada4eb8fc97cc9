// The images a station programs: read from the configuration with host's own
// rules, fixed by their SHA-256 hashes, and copied into a private read-only
// snapshot from which every host of a round reads.
#pragma once

#include "station/record.h"

#include <cstdint>
#include <string>

struct Images {
    std::string board_data, otp, firmware; // paths
    uint32_t otp_address = 0;
};

// What is wrong with the configuration or an image: host's own message where
// host has one.
struct ProfileError {
    std::string message;
};

// Reads the configuration as host's jobs read it; image paths are taken from
// the configuration's folder, where host runs.
Images read_images(const std::string& config_path);
// The hashes of the three images and the address, and the profile's id.
Profile profile_of(const Images& images);
// Copies the images into `folder`/<profile id>, read-only, with a
// tivConfig.txt that names the copies, unless a snapshot with the same bytes
// is there; checks every copied byte against the profile. Returns the
// snapshot's folder.
std::string make_snapshot(const Images& images, const Profile& profile, const std::string& folder);
// The frames that carry data (one dot each) for the three images.
long data_frames(const Images& images);
// The address as the export writes it: 8 lower-case hexadecimal digits.
std::string address_text(uint32_t address);
