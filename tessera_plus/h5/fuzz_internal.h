// For the fuzzing harnesses only (built into them from free_lists_fuzz.cc, never into the library).
#pragma once

namespace tessera_plus::h5::fuzz {

// Lets HDF5 keep every block it frees on its own free lists for the rest of the process. Each file
// open builds a metadata cache of half a megabyte; past the default limits HDF5 hands it back to
// malloc, and under AddressSanitizer every such block is a fresh mapping that the next open faults
// in page by page, which is most of what a harness run of a small file costs. Call once, from
// LLVMFuzzerInitialize.
void keep_free_lists();

}  // namespace tessera_plus::h5::fuzz
