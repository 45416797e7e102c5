#pragma once
// A lower layer's header that includes an upper layer's: the check must refuse it.
#include "upper/upper.h"
