// The station's base: records, MACs, transcripts, local days, labels, text
// made safe to show, the files it owns, and the mail of its threads. Every
// other part of the station includes this header alone of base/.
#pragma once

#include "station/base/error.h"
#include "station/base/inbox.h"
#include "station/base/label.h"
#include "station/base/local_days.h"
#include "station/base/macs.h"
#include "station/base/own_file.h"
#include "station/base/record.h"
#include "station/base/stops.h"
#include "station/base/transcript.h"
#include "station/base/visible.h"
#include "station/base/worker.h"
