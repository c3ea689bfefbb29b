"""A short tour of the hand-over buses: one observation source, one action sink."""

import random

import kiv_rs


def main() -> None:
    observations = kiv_rs.ObservationBus(capacity=8)
    actions = kiv_rs.ActionBus(capacity=1)
    for cycle in range(20):
        joints = [random.uniform(-1.0, 1.0) for _ in range(7)]
        observations.write({"cycle": cycle, "joint_positions": joints})
        newest = observations.read_latest()
        actions.write([0.9 * q for q in newest["joint_positions"]])
        command = actions.read()
        assert command is not None and len(command) == 7
    window = observations.read_window(3)
    print(f"{observations!r}: last cycles {[o['cycle'] for o in window]}; {actions!r}")


if __name__ == "__main__":
    main()
