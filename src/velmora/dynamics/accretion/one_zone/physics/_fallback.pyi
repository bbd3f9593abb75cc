# Stubs of the compiled module velmora.dynamics.accretion.one_zone.physics._fallback.
from types import CapsuleType

__c_api__: dict[str, CapsuleType]
