#include "module/BuildModule.h"

#include "module/ModuleState.h"
#include "module/ClassifySections.h"
#include "module/EarlySections.h"
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
int rebuildSymbolsAndCheckRelocations(ModuleContext& ctx) {
    if (int result = rebuildSymbolTable(ctx)) return result;
    return checkAllRelocations(ctx);
}

// The -old flow: the input table keeps its size and numbering; unused
// symbols are stripped in place, and with -s the string tables shrink to the
// import names.
int stripSymbolsAndCheckRelocations(ModuleContext& ctx) {
    findSymbolTable(ctx);
    if (int result = stripUnusedSymbols(ctx)) return result;
    if (int result = checkAllRelocations(ctx)) return result;
    if (ctx.settings.stripSymbolStrings) return compactStringTables(ctx);
    return 0;
}

int prepareSymbols(ModuleContext& ctx) {
    return ctx.settings.newSymbolTable ? rebuildSymbolsAndCheckRelocations(ctx) : stripSymbolsAndCheckRelocations(ctx);
}

int buildModuleSteps(ModuleContext& ctx, AtomicFile& written) {
    if (int result = readTarnRoot(ctx)) return result;
    loadTagsFile(ctx, ctx.module.tarnRoot.c_str());  // problems are reported, the build goes on
    computeFilepathPadding(ctx);
    if (int result = bindSymbolTable(ctx)) return result;
    if (int result = checkTlsLayout(ctx)) return result;
    applySectionUsage(ctx);
    if (int result = prepareSymbols(ctx)) return result;
    if (classifySections(ctx) != 0) return -1;
    if (int result = buildFileInfo(ctx)) return result;
    if (int result = reserveTrampolines(ctx)) return result;
    if (int result = checkZeroFilledCode(ctx)) return result;
    if (int result = buildSectionTable(ctx)) return result;
    if (int result = placeSections(ctx)) return result;
    if (int result = finishRegionSizes(ctx)) return result;
    finishSpecialSections(ctx);
    return writeModuleFile(ctx, written);
}

}  // namespace

// The sections no pass rewrites are compressed from the start, beside the
// passes; whatever placement did not take is dropped with the build.
int buildModule(ModuleContext& ctx, AtomicFile& written) {
    startEarlySections(ctx);
    const int result = buildModuleSteps(ctx, written);
    dropEarlySections(ctx);
    return result;
}
