// Folder trees with deletions waiting for the next restart are locked down first. Those deletions
// run at boot with the system's rights; anyone who could still write inside the tree could replace
// one of its folders by a junction before then and lead a deletion elsewhere. So before the first
// deletion inside a tree is scheduled, Administrators become the owner of every entry of the tree,
// and the tree gets an access list for Administrators and SYSTEM alone: protected at the top, and
// nothing but what the top passes on below it. The tree is being removed; nothing else needs it.
#pragma once

#include <windows.h>

// Names the folder tree being removed while it lives. Only the outermost scope counts: the tree is
// the folder of the top-level removal, and the nested removals of its folders belong to it.
class Tree_Protection_Scope {
public:
    explicit Tree_Protection_Scope(const WCHAR* folder);
    ~Tree_Protection_Scope();
    Tree_Protection_Scope(const Tree_Protection_Scope&) = delete;
    Tree_Protection_Scope& operator=(const Tree_Protection_Scope&) = delete;

private:
    bool outermost_;
};

// Called before a deletion is scheduled for the next restart. Inside a named tree, the first call
// locks the tree down; later calls, and calls outside any tree, do nothing. False when the tree could
// not be locked down whole (the failures are reported): nothing in it may then wait for the restart.
bool Protect_Tree_Before_Restart_Deletion();

// Changes().Lock_Down_Kept_Folder locks down a folder tree that is kept for a program to be run from
// it: owned by Administrators, Administrators and SYSTEM full control and Users read and run, passed
// on to everything below. False when that could not be done whole (reported).

// Locks down a junction or symbolic link itself, through a handle opened on the link: owner
// Administrators, Administrators and SYSTEM alone. False when that could not be done (reported).
bool Lock_Down_Link(const WCHAR* path);
