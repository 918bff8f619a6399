from .cli import score

score.main(prog_name="python -m trelvanoxa.score")
