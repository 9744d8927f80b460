#pragma once

#include "support/temp_files.h"
