"""Incidents from a stream of alarms: grouped per camera and info type within
the gap, best picture by score (else the first), ended by a later alarm, by
time passing, or at the end."""
from visionengin_cli.events.incidents import Incidents


def test_alarms_within_the_gap_form_one_incident_per_camera_and_info_type():
    grouping = Incidents(gap=30)
    seen = []
    for at, camera, kind, picture, score in [
            (0, "gate", "motion", "m0", None), (10, "gate", "face", "f10", 0.4),
            (29, "gate", "motion", "m29", None), (40, "gate", "face", "f40", 0.9),
            (45, "yard", "motion", "y45", 0.5), (59, "gate", "motion", "m59", None),
            (75.5, None, None, None, None),  # time passes: face (last at 40) and yard (45) end
            (90, "gate", "motion", "m90", 0.2)]:  # 31 s after m59: a new incident
        if camera is None:
            seen += grouping.close_idle(now=at)
        else:
            seen += grouping.add(camera, kind, at, picture, score)
    seen += grouping.close_all()
    summary = [(e["type"][9:], e["camera"], e["info_type"], e["start"], e["end"], e["count"],
                e["picture"]) for e in seen]
    assert summary == [
        ("start", "gate", "motion", 0, 0, 1, "m0"),
        ("start", "gate", "face", 10, 10, 1, "f10"),
        ("start", "yard", "motion", 45, 45, 1, "y45"),
        ("end", "gate", "face", 10, 40, 2, "f40"),      # the higher score wins
        ("end", "yard", "motion", 45, 45, 1, "y45"),
        ("end", "gate", "motion", 0, 59, 3, "m0"),      # no scores: the first picture
        ("start", "gate", "motion", 90, 90, 1, "m90"),
        ("end", "gate", "motion", 90, 90, 1, "m90"),
    ]
    starts = {e["id"] for e in seen if e["type"] == "incident_start"}
    assert starts == {e["id"] for e in seen if e["type"] == "incident_end"} and len(starts) == 4
