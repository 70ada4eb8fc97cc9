// The round at the fixtures: its feeds (planned and continuous), its
// screens, its hosts and its labels.
#pragma once

#include "station/line/board.h"
#include "station/line/round.h"
#include "station/line/round_event.h"
#include "station/line/feeds.h"
#include "station/line/screen.h"
#include "station/line/runner.h"
#include "station/line/labels.h"
