// The image-file medium: the drive's sectors one after another in a host file, no header.
#include <proto/dos.h>

#include "ide_private.h"

void openImageMedium(IDE *ide, CONST_STRPTR path) {
    ide->image_read_position = IDE_NO_POSITION;
    ide->raw_file_handle = Open(path, MODE_READWRITE);
    if (!ide->raw_file_handle)
        return;
    const UQUAD driveSectors =
        UQUAD(ide->nb_cylinders) * ide->nb_heads * ide->nb_sectors_per_cylinder;
    ide->image_sectors = driveSectors;
    auto *fib = static_cast<FileInfoBlock *>(AllocDosObject(DOS_FIB, nullptr));
    if (!fib)
        return; // mounted unchecked
    if (ExamineFH(ide->raw_file_handle, fib)) {
        // Computed as a 32-bit signed value: 129,540,096 for the fixed geometry.
        LONG size = static_cast<LONG>(ide->nb_cylinders * ide->nb_heads *
                                      ide->nb_sectors_per_cylinder * IDE_SECTOR_SIZE);
        // A longer image is never shortened, and keeps all of its sectors (a card copied from a
        // larger drive).
        if (fib->st.st_size < size &&
            SetFileSize(ide->raw_file_handle, size, OFFSET_BEGINNING) < 0) {
            Close(ide->raw_file_handle);
            ide->raw_file_handle = nullptr;
        } else if (fib->st.st_size > size) {
            ide->image_sectors = UQUAD(fib->st.st_size) / IDE_SECTOR_SIZE;
        }
    }
    FreeDosObject(DOS_FIB, fib);
}

void closeImageMedium(IDE *ide) {
    Close(ide->raw_file_handle);
    ide->raw_file_handle = nullptr;
}

BOOL imageTransfer(IDE *ide, UQUAD address, bool write) {
    BPTR file = ide->raw_file_handle;
    // A read that goes on where the last one ended needs no seek, which would drop the stream's
    // buffer and ask the system. Any other transfer seeks first, which also separates reads
    // from writes on the update stream.
    const bool continues = !write && address == ide->image_read_position;
    ide->image_read_position = IDE_NO_POSITION;
    if (!continues && Seek(file, static_cast<QUAD>(address), OFFSET_BEGINNING) == -1)
        return FALSE;
    if (!write) {
        if (Read(file, ide->cacheP, IDE_SECTOR_SIZE) != static_cast<LONG>(IDE_SECTOR_SIZE))
            return FALSE;
        ide->image_read_position = address + IDE_SECTOR_SIZE;
        return TRUE;
    }
    if (Write(file, ide->cacheP, IDE_SECTOR_SIZE) != static_cast<LONG>(IDE_SECTOR_SIZE))
        return FALSE;
    // Flushed now, so that a host write error fails this transfer instead of surfacing
    // (unreported) at unmount after the guest was told the sector was stored.
    return Flush(file);
}
