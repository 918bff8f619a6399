"""Reference tables, the validation suite and the two demonstrations.

Every function reads the tables (and VIF) from the package namespace when it
is called, so rebinding them there changes the next run."""

from .demos import halogen_test, triple_group_demo
from .tables import BIOMOLECULES, HALOGEN_TESTS, LPI_REFERENCES, MS_REFERENCES
from .validate import validate

__all__ = ["BIOMOLECULES", "HALOGEN_TESTS", "LPI_REFERENCES", "MS_REFERENCES", "halogen_test",
           "triple_group_demo", "validate"]
