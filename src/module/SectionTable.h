// The output section header table.
#pragma once

int buildSectionTable();
