// The store of records: its interface and engines' opening, the spool, a
// command's opening of it with its station's lock, the round's writer and
// the boards' logs.
#pragma once

#include "station/store/interface.h"
#include "station/store/spool.h"
#include "station/store/opening.h"
#include "station/store/recorder.h"
#include "station/store/board_log.h"
