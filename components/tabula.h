// The one header an application includes: the dataset components of the Tabula engine and the
// engine errors they raise.
//
// TTabulaSession (with the process-wide Sessions() list and its default session "Default")
// configures and owns an engine session and provides the engine-wide lock; TTabulaDatabase names
// a database for the datasets of a session and carries the transactions. Components derive from
// TComponent, whose loading state lets a stored layout set `Active` and `Connected` before they
// take effect. TPasswordDialogModel holds the rules of the table password dialog for a user
// interface to show.
#pragma once

#include "components/component.h"
#include "components/data_link.h"
#include "components/database.h"
#include "components/dataset.h"
#include "components/fields.h"
#include "components/params.h"
#include "components/password_dialog.h"
#include "components/session.h"
#include "components/table.h"
#include "components/tabula_dataset.h"
#include "engine/base/engine_error.h"
