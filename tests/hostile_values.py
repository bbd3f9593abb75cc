"""Objects that convert badly: the hostile values the hardening tests hand
to every conversion of the package (to a double, to a 32-bit int)."""


class FloatRaises:
    def __float__(self):
        raise ArithmeticError("__float__")


class FloatGivesStr:
    def __float__(self):
        return "0.5"


class FloatSub(float):
    pass


class FloatGivesSubclass:
    def __float__(self):
        return FloatSub(0.5)


class IndexRaises:
    def __index__(self):
        raise ArithmeticError("__index__")


class IndexGivesFloat:
    def __index__(self):
        return 0.5


class IndexOnly:
    def __index__(self):
        return 1


class IntRaises:
    def __int__(self):
        raise ArithmeticError("__int__")


class IntGivesFloat:
    def __int__(self):
        return 1.5


class IntGivesBool:
    def __int__(self):
        return True
