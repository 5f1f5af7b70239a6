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
