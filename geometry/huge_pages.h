// Large arrays filled right after they are allocated fault in their memory 4 KiB at a time;
// on virtual machines that costs more than filling them. Asking for transparent huge pages
// first makes it 2 MiB at a time.
#pragma once

#include <cstddef>
#include <vector>

// Advises the kernel to back the whole 2 MiB pages inside [data, data + bytes) with huge pages.
// Only a hint: nothing changes in the array, and where it is not supported nothing happens.
// Worth calling only on arrays of several MiB whose memory has not been touched yet.
void AdviseHugePages(const void* data, std::size_t bytes);

// Reserves room for count entries in an empty or small vector and advises huge pages for it.
template <typename T, typename A>
void ReserveWithHugePages(std::vector<T, A>& list, std::size_t count) {
  list.reserve(count);
  AdviseHugePages(list.data(), list.capacity() * sizeof(T));
}

// Keeps memory the process frees for its own reuse instead of returning it to the system at
// once. Drawing a large model makes the GL driver allocate and free tens of MiB in small blocks
// every frame; with glibc's adaptive thresholds, whether that memory is trimmed off the heap
// after each frame, and faulted in again page by page in the next (three times the frame time
// at a million triangles), depends on what the process happened to free before. Fixed
// thresholds make every process keep it: the heap is trimmed only beyond 256 MiB of free space
// at its top, and blocks of 32 MiB or more (the largest the adaptive rule would leave on the
// heap) get their own mappings, which are returned when freed. Does nothing outside glibc.
// Call once at start, before other threads run.
void KeepFreedMemoryForReuse();
