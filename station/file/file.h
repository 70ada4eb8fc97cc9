// The station file and the profile locked from it: what every command
// reads first.
#pragma once

#include "station/file/station_file.h"
#include "station/file/profile.h"
