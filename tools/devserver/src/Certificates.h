// The server's TLS identity: a CA of its own, kept in the state folder, and a leaf
// certificate for localhost and 127.0.0.1 signed by it.
#pragma once

#include <string>

namespace devserver {

struct TlsFiles {
    std::string caFile;    // PEM, what the SDK trusts through VOND_SDK_CA_FILE
    std::string certFile;  // PEM leaf certificate the server presents
    std::string keyFile;   // PEM private key of the leaf
};

// Creates the CA on first use and reuses it later (a developer trusts it once); the leaf is
// made again when it is missing or about to expire. Safe against another server starting on
// the same folder at the same moment. Throws std::runtime_error on failure.
TlsFiles EnsureTlsFiles(const std::string& stateDir);

}  // namespace devserver
