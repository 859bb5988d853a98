// The entities the object layer's operation tables name, as the virtual module's model serves
// them: every option of every entity class with its width, access and parameter form.
#pragma once

#include "ModelTable.h"

#include <vector>

namespace Corvane::Tools {

// One entity definition per class (two entities each), options in table order, starting
// values distinct per option so that a getter returning the wrong option or width shows.
std::vector<EntityDef> tableEntities();

// Adds to model every entity and option of tableEntities() it does not define itself.
void addTableEntities(ModelDef& model);

} // namespace Corvane::Tools
