// The top layer: it puts the library together from its areas. The device layer below knows
// none of them; each area hands it what it handles (reply types, status items, worker
// bodies) here.
#ifndef TAVRO_LIBRARY_ASSEMBLY_H
#define TAVRO_LIBRARY_ASSEMBLY_H

namespace tavro {

// Registers every area with the device layer, once; later calls do nothing. The
// constructor of CKusb_IO calls it before the library starts.
void assembleLibrary();

}  // namespace tavro

#endif  // TAVRO_LIBRARY_ASSEMBLY_H
