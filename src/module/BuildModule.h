// The module build: the build sequence from TARN_ROOT to the written file.
#pragma once

// 0 on success, -1 on an error, or the zlib status of a failed compression.
int buildModule();
