#pragma once
// An upper layer's header, standing on the lower one: allowed.
#include "lower/lower.h"
