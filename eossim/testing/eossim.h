// Test-only functions of the EOS stand-in (the EOSSim_ prefix). The SDK never calls them;
// tests and tools use them to set the stand-in up and to read its state. Text is UTF-8 JSON.
//
// JSON texts are returned through a caller's buffer: *InOutLength is the buffer size on entry
// and the size needed (terminator included) on return; the result is 0 on success, 22
// (EOS_LimitExceeded) when the buffer is too small, 10 (EOS_InvalidParameters) for NULL.
#pragma once

#include "eos_base.h"

// Replaces the whole scenario (accounts, offers, entitlements, failures, stateFile) and
// forgets all state of the previous one (call counts too). 0 on success, 10 when the text
// is not a scenario. With a stateFile that exists, its entitlements replace the scenario's.
EOS_DECLARE_FUNC(int32_t) EOSSim_LoadScenario(const char* ScenarioJson);
// The same, from a file; 18 (EOS_NotFound) when it cannot be read.
EOS_DECLARE_FUNC(int32_t) EOSSim_LoadScenarioFile(const char* Path);

// How often an EOS function (e.g. "EOS_Ecom_Checkout") was called since the scenario loaded.
EOS_DECLARE_FUNC(int32_t) EOSSim_GetCallCount(const char* FunctionName);
// EOS calls (any function but EOS_Platform_Tick) made from a thread other than the one that
// last called EOS_Platform_Tick, counted once a tick has happened.
EOS_DECLARE_FUNC(int32_t) EOSSim_GetOffTickThreadCalls(void);
// EOS_Platform_Tick calls made from inside a completion that a tick delivered.
EOS_DECLARE_FUNC(int32_t) EOSSim_GetNestedTicks(void);
// Completions queued and not yet delivered by EOS_Platform_Tick.
EOS_DECLARE_FUNC(int32_t) EOSSim_GetPendingCompletions(void);
// Hold 1 makes every EOS_Platform_Create wait before it starts, as a real EOS loading its
// overlay and caches takes its time; Hold 0 lets them go. Returns how many wait now.
EOS_DECLARE_FUNC(int32_t) EOSSim_HoldPlatformCreate(int32_t Hold);

// The entitlements of one account (redeemed ones included), as a JSON array of
// {"entitlementId","entitlementName","catalogItemId","redeemed","redemptionCount"}.
// An unknown account gives "[]".
EOS_DECLARE_FUNC(int32_t) EOSSim_GetEntitlements(const char* AccountId, char* OutBuffer, int32_t* InOutLength);
// The whole state: {"calls":{name:count},"entitlements":{accountId:[...]},"transactions":[...],
// "loggedIn":[accountId...],"pending":n,"offTickThreadCalls":n}.
EOS_DECLARE_FUNC(int32_t) EOSSim_GetStateJson(char* OutBuffer, int32_t* InOutLength);
