#include "module/BuildModule.h"

#include "driver/ToolState.h"
#include "module/ClassifySections.h"
#include "module/FileInfo.h"
#include "module/LoaderTags.h"
#include "module/PlaceSections.h"
#include "module/RegionLayout.h"
#include "module/SectionTable.h"
#include "module/SectionUsage.h"
#include "module/WriteModule.h"
#include "symbols/CompactStrings.h"
#include "symbols/RebuildSymbols.h"
#include "symbols/RelocationChecks.h"
#include "symbols/StripSymbols.h"
#include "symbols/SymbolAccess.h"

namespace {

// The default flow: the rebuilt symbol table, then the relocation check
// against the rebuilt symbols.
int rebuildSymbolsAndCheckRelocations() {
    if (int result = rebuildSymbolTable()) return result;
    return checkAllRelocations();
}

// The -old flow: the input table keeps its size and numbering; unused
// symbols are stripped in place, and with -s the string tables shrink to the
// import names.
int stripSymbolsAndCheckRelocations() {
    findSymbolTable();
    if (int result = stripUnusedSymbols()) return result;
    if (int result = checkAllRelocations()) return result;
    if (settings().stripSymbolStrings) return compactStringTables();
    return 0;
}

int prepareSymbols() {
    return settings().newSymbolTable ? rebuildSymbolsAndCheckRelocations() : stripSymbolsAndCheckRelocations();
}

}  // namespace

int buildModule() {
    if (int result = readTarnRoot()) return result;
    loadTagsFile(toolState().module.tarnRoot.c_str());  // problems are reported, the build goes on
    computeFilepathPadding();
    if (int result = bindSymbolTable()) return result;
    if (int result = checkTlsLayout()) return result;
    applySectionUsage();
    if (int result = prepareSymbols()) return result;
    if (classifySections() != 0) return -1;
    if (int result = buildFileInfo()) return result;
    if (int result = reserveTrampolines()) return result;
    if (int result = checkZeroFilledCode()) return result;
    if (int result = buildSectionTable()) return result;
    if (int result = placeSections()) return result;
    if (int result = finishRegionSizes()) return result;
    finishSpecialSections();
    return writeModuleFile();
}
