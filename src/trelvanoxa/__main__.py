"""python -m trelvanoxa: the substituted-halogen test, figure in /tmp/vif_halogen.png."""

from trelvanoxa import halogen_test

halogen_test(save="/tmp/vif_halogen.png")
