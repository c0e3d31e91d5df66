#include "module/FileInfo.h"

int readTarnRoot() { return -1; }
void computeFilepathPadding() {}
int buildFileInfo() { return -1; }
std::vector<uint8_t> fileInfoBytesForFile() { return {}; }
