#pragma once
// A RIFF file: the RIFF chunk (id, size, form type) and the chunks inside it.

#include <cstddef>
#include <string_view>

namespace relicta::content::riff {

inline constexpr std::string_view RiffId = "RIFF";
inline constexpr std::string_view ListId = "LIST";
inline constexpr std::size_t ChunkId = 0;
inline constexpr std::size_t ChunkSize = 4;  // of the data after the 8-byte header
inline constexpr std::size_t ChunkHeaderBytes = 8;
inline constexpr std::size_t FormType = 8;  // of a RIFF or LIST chunk
inline constexpr std::size_t FormHeaderBytes = 12;

// A large AVI continues in further RIFF chunks of this form.
inline constexpr std::string_view AviExtension = "AVIX";

}  // namespace relicta::content::riff
