// Base macros and primitive types shared by every EOS header.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifndef EXTERN_C
#ifdef __cplusplus
#define EXTERN_C extern "C"
#else
#define EXTERN_C
#endif
#endif

#ifndef EOS_EXTERN_C
#define EOS_EXTERN_C EXTERN_C
#endif

// 32-bit Windows uses stdcall for every SDK function and callback; a platform base header
// may predefine these before this file is read.
#if defined(_WIN32) && (defined(__i386) || defined(_M_IX86))
#ifndef EOS_CALL
#define EOS_CALL __stdcall
#endif
#ifndef EOS_MEMORY_CALL
#define EOS_MEMORY_CALL __stdcall
#endif
#else
#ifndef EOS_CALL
#define EOS_CALL
#endif
#ifndef EOS_MEMORY_CALL
#define EOS_MEMORY_CALL
#endif
#endif

#ifndef EOS_API
#if defined(EOS_MONOLITHIC)
#define EOS_API
#elif defined(_WIN32)
#if defined(EOS_BUILDING_SDK) || defined(EOS_BUILD_DLL)
#define EOS_API __declspec(dllexport)
#else
#define EOS_API __declspec(dllimport)
#endif
#elif defined(EOS_BUILDING_SDK) || defined(EOS_BUILD_DLL)
#define EOS_API __attribute__((visibility("default")))
#else
#define EOS_API
#endif
#endif

#define EOS_DECLARE_FUNC(return_type) EXTERN_C EOS_API return_type EOS_CALL
#define EOS_DECLARE_CALLBACK(CallbackName, ...) EXTERN_C typedef void (EOS_CALL * CallbackName)(__VA_ARGS__)

#define EOS_PASTE(...) __VA_ARGS__
#define EOS_STRUCT(struct_name, struct_def) \
    EXTERN_C typedef struct _tag##struct_name { EOS_PASTE struct_def } struct_name

#ifdef __cplusplus
#define EOS_ENUM(name, ...) enum class name : int32_t { __VA_ARGS__ }
#define EOS_ENUM_BOOLEAN_OPERATORS(name)                                                         \
    inline constexpr name operator|(name a, name b) {                                            \
        return static_cast<name>(static_cast<int32_t>(a) | static_cast<int32_t>(b));             \
    }                                                                                            \
    inline constexpr name operator&(name a, name b) {                                            \
        return static_cast<name>(static_cast<int32_t>(a) & static_cast<int32_t>(b));             \
    }                                                                                            \
    inline constexpr name operator^(name a, name b) {                                            \
        return static_cast<name>(static_cast<int32_t>(a) ^ static_cast<int32_t>(b));             \
    }                                                                                            \
    inline name& operator|=(name& a, name b) { return a = a | b; }                               \
    inline name& operator&=(name& a, name b) { return a = a & b; }                               \
    inline name& operator^=(name& a, name b) { return a = a ^ b; }
#else
#define EOS_ENUM(name, ...) typedef enum name { __VA_ARGS__, __##name##_PAD_INT32__ = 0x7FFFFFFF } name
#define EOS_ENUM_BOOLEAN_OPERATORS(name)
#endif

typedef int32_t EOS_Bool;
#define EOS_TRUE 1
#define EOS_FALSE 0
