// Kept for the tests that include it by this name: QuietDirectory is in fake_directory.h.
#pragma once

#include "fake_directory.h"
