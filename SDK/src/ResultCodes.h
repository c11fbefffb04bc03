// The codes and texts the game hears in its callbacks, and the names the backend expects,
// one definition each.
#pragma once

namespace VondSdk {

inline constexpr int kCodeOk = 200;
inline constexpr int kCodeNotFoundProduct = -400;
inline constexpr int kCodeNotInit = -401;
inline constexpr int kCodeInitFailure = -402;
inline constexpr int kCodeLoginFailure = -404;
inline constexpr int kCodeNotLogin = -405;
// The purchase could not be recorded on this machine (a full disk, a data folder that cannot be
// written or read): no checkout opened, nothing was paid.
inline constexpr int kCodeOrderNotRecorded = -406;
// An answer that is not the JSON the request expects.
inline constexpr int kCodeJsonParseError = -501;
// An exchange that failed: no answer, a transport error, or past a deadline.
inline constexpr int kCodeExchangeFailed = -502;

inline constexpr char kAlreadyInit[] = "Sdk already init.";
inline constexpr char kInitSuccess[] = "Epic Init Success!";
inline constexpr char kInitFailure[] = "Epic Init Failure!";
inline constexpr char kNotInit[] = "Sdk Not Init.";
inline constexpr char kLoginFailure[] = "Epic Login Failure!";
inline constexpr char kNotLogin[] = "Not Login.";
inline constexpr char kJsonParseError[] = "Server JSON Parse Error.";
inline constexpr char kOrderNotRecorded[] = "Order Not Recorded, No Checkout Opened.";

// The store's name on the backend: the login platform and the products' pay channel.
inline constexpr char kChannelEpic[] = "EPIC";
// The pay-result status of a paid order.
inline constexpr char kStatusPaid[] = "1";

}  // namespace VondSdk
