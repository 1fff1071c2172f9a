// Folder trees and wildcards for add and extract: a plan of every file, made on the
// command's handle in the tree's order, then carried out on up to the `Connections`
// setting's number of logged-in connections at once, with one report in the plan's
// order whatever order the connections finish in.
#pragma once

#include "command/actions.h"

// The file arguments ask for a folder transfer: -r was given, or a name has a wildcard.
int tree_wanted(const ActionCall &call);

// 1 when the text has a '*' or a '?'.
int tree_has_wildcard(const char *text);

// Whether name matches pattern: '*' any run of characters (none too), '?' exactly one,
// every other character itself. Case matters, as it does on the servers that list so.
int tree_name_matches(const char *pattern, const char *name);

// Whether a name from a listing may become one level of a local path: not empty, not
// "." or "..", no separator of either target, no drive, no step out as Windows reads
// "..." or ".. ".
int tree_safe_component(const char *name);

// The extract and add of folder trees and wildcards: COMMAND_OK when every file moved,
// else the command's failure code, after trying every file.
int tree_extract(const ActionCall &call);
int tree_add(const ActionCall &call);
