import importlib.util
import pathlib

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "pipeline_training.py"


def test_the_compressed_three_stage_pipeline_really_trains(coordinator, capsys):
    url = coordinator(stages=3, layers=3)
    found = importlib.util.spec_from_file_location("pipeline_training", EXAMPLE)
    example = importlib.util.module_from_spec(found)
    found.loader.exec_module(example)
    losses = example.main(["--coordinator", url, "--rounds", "16", "--seed", "1"])
    assert len(losses) == 16
    first, last = sum(losses[:4]) / 4, sum(losses[-4:]) / 4
    assert last < 0.8 * first, losses
    assert all(loss >= 0 for loss in losses)  # cross entropy of the last stage, not a mean
    assert "Warning: Failed" not in capsys.readouterr().out
