// The file image of the module and its single write.
#pragma once

int writeModuleFile();
