#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/Output.h"
#include "image/ImageReader.h"
#include "image/ImageSource.h"
#include "inspect/RebuildCheck.h"

namespace imgweld {

// The two forms of image a kit is made of; they are planned by different
// planners.
enum class KitForm { kTagged, kPartitionTable };

// A rebuild kit of either form: the files to extract, where their bytes lie
// in the image, and the configuration that packs them into the image again.
struct Kit {
  KitForm form = KitForm::kTagged;
  // The text of setting.ini; empty when no configuration rebuilds the image
  // (its builder has said why), and the files are all the kit holds.
  std::string config;
  std::vector<KitFile> files;  // in the order they are written, boot programs included
  uint8_t fillByte = 0;
  // A disk of another tool: only the partitions, names and GUIDs come back.
  bool foreign = false;
};

// One file of a tagged image's kit and the record it is made for.
struct TaggedKitFile {
  uint32_t record = 0;  // position in the table
  KitFile file;
};

// The files of a tagged image's kit, in table order: those "-U" writes,
// named as it names them (decided over the whole table), and a file of no
// bytes for each vendor-type partition that holds no data and is neither
// skipped nor filled. -U writes nothing for such a partition, but the packer
// makes its record only from a file it opens, so the kit holds an empty one,
// named "<name>.img", or numbered as -U numbers a repeated name when another
// file of the kit takes that name.
std::vector<TaggedKitFile> TaggedKitEntries(const TaggedImageFacts& facts);

// The files alone, in the same order.
std::vector<KitFile> TaggedKitFiles(const TaggedImageFacts& facts);

// Works out the kit of a tagged image: its files as "-U" writes them, and the
// configuration BuildRebuildConfig makes. False, after one line on standard
// error ("<where>: cannot be taken apart: ..."), when a file cannot be
// written at all (a name that is no file name, a payload outside the image);
// nothing is to be written then. An image no configuration rebuilds gives a
// kit without one, after the line that says why.
bool BuildTaggedKit(ImageSource& source, const TaggedImageFacts& facts, const std::string& where,
                    Output& out, Kit& kit);

// Plans the kit's configuration with the packer's own planner, in memory and
// writing nothing, its files served from the image, and compares the planned
// image with the image: every byte, or for a disk of another tool its
// partition entries, disk GUID and partitions' bytes. False, after one line on
// standard error naming the first difference or why the packer refuses the
// configuration (its own words first), when they are not the same.
bool CheckKit(ImageSource& source, const Kit& kit, const std::string& where, Output& out);

}  // namespace imgweld
