// Platform tick and interface getters.
#pragma once

#include "eos_init.h"
#include "eos_types.h"

// Runs pending work; every completion of the platform's interfaces is delivered here.
EOS_DECLARE_FUNC(void) EOS_Platform_Tick(EOS_HPlatform Handle);
EOS_DECLARE_FUNC(EOS_HAuth) EOS_Platform_GetAuthInterface(EOS_HPlatform Handle);
EOS_DECLARE_FUNC(EOS_HConnect) EOS_Platform_GetConnectInterface(EOS_HPlatform Handle);
EOS_DECLARE_FUNC(EOS_HEcom) EOS_Platform_GetEcomInterface(EOS_HPlatform Handle);
