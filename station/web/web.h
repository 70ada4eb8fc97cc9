// The line's live web view.
#pragma once

#include "station/web/serve.h"
