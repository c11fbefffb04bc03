#pragma once

#include "eos_integratedplatform_types.h"
