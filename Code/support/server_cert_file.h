// The files in which the tunnel service keeps the certificate each gateway
// showed first (trust on first use), read by every deliverable that talks
// to a gateway.
//
// One file per gateway address, "<folder>/cert<address as signed decimal>",
// in the folder "<QIMBO_HOME>/cert". Its plain content, 2112 bytes:
//      0  64    ProductVer, UTF-16LE, at most 31 units and a terminator
//     64  2048  the certificate, DER
//   rest        zero
// encrypted whole with the file encryption under the program's password.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr size_t SERVER_CERT_VERSION_BYTES = 64;
inline constexpr size_t SERVER_CERT_DER_MAX = 2048;
inline constexpr size_t SERVER_CERT_BLOCK_BYTES = 2112;
// The program's own password of the files: nine UTF-16 units.
inline constexpr char SERVER_CERT_FILE_PASSWORD[] = "Gw!C3rt#9";

using ServerCertBlock = std::array<uint8_t, SERVER_CERT_BLOCK_BYTES>;

// The file of the gateway at gatewayAddress (network order) in folder.
std::string ServerCertPath(const std::string& folder, uint32_t gatewayAddress);
// "<QIMBO_HOME>/cert" below the platform root, not created; "" when the
// install folder is not set.
std::string InstalledServerCertFolder();
// The installed ProductVer ("" when unset).
std::string InstalledProductVersion();

// Writes the block for the DER bytes to path, replacing the file whole.
// 1, or 0 (also for a certificate longer than SERVER_CERT_DER_MAX).
int StoreServerCert(const uint8_t* der, size_t length, const std::string& path);
// Decrypts the file at path into block: 1, or 0 after logging "Decrypt
// file failed\n" (also for a file that is not one whole block).
int ReadServerCertFile(const std::string& path, ServerCertBlock& block);
// The product version text of a block.
std::string StoredProductVersion(const ServerCertBlock& block);
// True when the block holds exactly der: its bytes, then only zero.
bool BlockHoldsCert(const ServerCertBlock& block, const std::vector<uint8_t>& der);

// What the tunnel service stored for the gateway at gatewayAddress (network
// order) in the install folder: 1 with der set, 0 when nothing is stored
// there, -1 when a file is there but cannot be read as ours.
int ReadStoredServerCert(uint32_t gatewayAddress, std::vector<uint8_t>& der);
