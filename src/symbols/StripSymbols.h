// The -old flow's stripping of symbols that point into empty sections.
#pragma once

int stripUnusedSymbols();
