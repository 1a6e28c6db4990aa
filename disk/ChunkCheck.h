#pragma once
// A fast check of a chunk's bytes, for reading back what a transfer wrote: four CRC32C, each of a
// quarter of the chunk (four independent chains the processor computes side by side, several bytes a
// cycle where it has the instruction). It finds bytes that changed by accident between a write and
// its read-back (a bad write, a bad sector, a torn request); it is no digest, and is never stored:
// what a backup records is the chunk's SHA-256, computed once from the same buffer.
#include <array>
#include <cstddef>
#include <cstdint>

using SChunkCheck = std::array<uint32_t, 4>;

// The check of `size` bytes; `allZero` (IsAllZero of them) takes the known check of a whole chunk of
// zeros (kChecksumChunk bytes) without reading them.
SChunkCheck ChunkCheckOf(const void* data, size_t size, bool allZero = false);
