#pragma once
// The publisher tool's two commands, for whoever runs the update server.
#include <cstdint>
#include <string>
#include <vector>

#include "delta/chunker.h"

class SigningKey;

// Files from this size on get a chunk index beside them on the server,
// <name>.chunks, named with its SHA-256 in their manifest entry, so that
// clients fetch only the chunks they lack. Chosen with bench/delta_bench.
constexpr uint64_t kChunkIndexThreshold = 128u << 10;
constexpr ChunkParams kReleaseChunkParams{256, 1u << 10, 4u << 10};

// Writes update/<version>/FileConfig.xml and the files of one version,
// taken from |from|, below |root|. Returns false with |error| set; nothing
// is written when a name cannot be published. With a |key|, every entry
// carries its Sha256 and the manifest is signed (and with it the digests
// of the chunk indexes). |warning| receives what
// the publisher should hear of a release that was still written.
bool PublishRelease(const std::wstring& version, const std::wstring& from,
                    const std::wstring& root, std::wstring* error, std::wstring* table,
                    const SigningKey* key = nullptr, std::wstring* warning = nullptr);

// Clients refuse a manifest larger than 512 MiB. The warning for one of
// |size| bytes; empty when clients read it.
std::wstring ManifestSizeWarning(uint64_t size);

// A server address as the version list and UpdateTemp.ini store it:
// scrambled when longer than 20 characters, as the client descrambles it.
std::wstring StoredServerEntry(const std::wstring& address);

// Writes update/VerAndUrl.xml below |root|. Addresses longer than 20
// characters are written scrambled, as the client descrambles them.
// With a |key| the list is signed, valid until |expires| (Unix seconds).
bool PublishVersionList(const std::wstring& root, const std::wstring& product,
                        const std::wstring& max, const std::vector<std::wstring>& urls,
                        std::wstring* error, const SigningKey* key = nullptr,
                        int64_t expires = 0);
