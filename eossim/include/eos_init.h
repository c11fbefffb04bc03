// SDK lifetime and platform creation.
#pragma once

#include "eos_types.h"

// Once per process: Success, AlreadyConfigured or InvalidParameters.
EOS_DECLARE_FUNC(EOS_EResult) EOS_Initialize(const EOS_InitializeOptions* Options);
// Success, NotConfigured (never initialised) or UnexpectedError (already shut down).
EOS_DECLARE_FUNC(EOS_EResult) EOS_Shutdown(void);
// NULL on failure.
EOS_DECLARE_FUNC(EOS_HPlatform) EOS_Platform_Create(const EOS_Platform_Options* Options);
// Once per platform.
EOS_DECLARE_FUNC(void) EOS_Platform_Release(EOS_HPlatform Handle);
