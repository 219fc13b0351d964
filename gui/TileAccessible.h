// What a screen reader is told of a station tile: a group named by its port whose children say
// their own part (the port's name label is the group's name, as a group box's title is), and,
// for the tile and its labels, whether they are scrolled out of view.
#pragma once

// Installs, once, the accessible interfaces of the station tiles and of the labels in them.
void InstallTileAccessibility();
