// Restart deletions inside a tree being removed check their folder chains once (Tree_Protection.cpp
// keeps what was found for the tree's scope; File_Primitives.cpp asks).
#pragma once

#include "foundation/Lib_String.h"

// Inside a named tree (Tree_Protection_Scope): whether folder is one whose chain of folders a restart
// deletion found safe (SC_Check_Folder_Chain), or a folder of that chain. Nobody but the trusted
// owners can change a folder of a safe chain, so it stays safe while the tree is removed: the
// deletions of a deep tree, scheduled from the bottom up, check the chain once instead of once each.
bool Restart_Chain_Known_Safe(const Lib_StringW& folder);
// Remembers such a folder until the tree's scope ends; outside a tree it does nothing.
void Note_Safe_Restart_Chain(const Lib_StringW& folder);
