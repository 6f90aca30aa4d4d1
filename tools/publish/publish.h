#pragma once
// The publisher tool's two commands, for whoever runs the update server.
#include <string>
#include <vector>

// Writes update/<version>/FileConfig.xml and the files of one version,
// taken from |from|, below |root|. Returns false with |error| set.
bool PublishRelease(const std::wstring& version, const std::wstring& from,
                    const std::wstring& root, std::wstring* error, std::wstring* table);

// Writes update/VerAndUrl.xml below |root|. Addresses longer than 20
// characters are written scrambled, as the client descrambles them.
bool PublishVersionList(const std::wstring& root, const std::wstring& product,
                        const std::wstring& max, const std::vector<std::wstring>& urls,
                        std::wstring* error);
