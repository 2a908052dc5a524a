Vexa Q52 PLX 2.4.1 vexaq52api.h
