// Deployment settings: values that differ per installation, each with a default and an
// environment override.
#pragma once

#include <string>

namespace tessera_plus {

// The maker's support telephone number, which permission messages end with.
// TESSERA_SUPPORT_PHONE overrides the default "400-820-5528".
std::string support_phone();

// Base address of the sample-bundle server, without a trailing slash.
// TESSERA_SAMPLE_SERVER overrides the default "http://bundle.larkspur.example".
std::string sample_server_base();

}  // namespace tessera_plus
