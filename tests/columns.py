"""The advective model's output columns by name, as the model describes them
(model_info), so that tests name what they read."""

from velmora.dynamics.accretion.one_zone.closure import model_info
from velmora.dynamics.accretion.one_zone.models._gasrad_adv import AdvectiveClosure

COLUMNS = model_info(AdvectiveClosure())["columns"]
COL = {name: k for k, (name, _, _) in enumerate(COLUMNS)}
