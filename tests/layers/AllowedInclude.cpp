// Built only by the layers test: the same target as UpwardInclude.cpp with a
// header of a layer below, so that the upward probe fails for its include
// alone.
#include "ntfs/FileTable.h"
#include "ondisk/FileRecord.h"
#include "volume/VolumeApi.h"
