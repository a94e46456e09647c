n = 5000
# Method calls over four classes at one call site: a base-class method that every subclass inherits,
# methods overridden at two levels, and one inherited from a parent that is not the base.


class Shape:
    def score(self):
        return self.area() * 2 + self.perimeter() + self.corners()

    def corners(self):
        return 0


class Rect(Shape):
    def __init__(self, w, h):
        self.w = w
        self.h = h

    def area(self):
        return self.w * self.h

    def perimeter(self):
        return 2 * (self.w + self.h)

    def corners(self):
        return 4


# A square keeps Rect's area and corners.
class Square(Rect):
    def perimeter(self):
        return 4 * self.w


# Integer stand-ins for pi keep every result an int.
class Circle(Shape):
    def __init__(self, r):
        self.r = r

    def area(self):
        return 3 * self.r * self.r

    def perimeter(self):
        return 6 * self.r


class Triangle(Shape):
    def __init__(self, b, h, s):
        self.b = b
        self.h = h
        self.s = s

    def area(self):
        return self.b * self.h

    def perimeter(self):
        return self.b + 2 * self.s

    def corners(self):
        return 3


def make_shape(i):
    kind = i * 7 % 13 % 4
    if kind == 0:
        return Rect(i % 7 + 1, i % 5 + 1)
    if kind == 1:
        return Square(i % 6 + 1, i % 6 + 1)
    if kind == 2:
        return Circle(i % 4 + 1)
    return Triangle(i % 9 + 1, i % 3 + 1, i % 8 + 2)


def measure(shapes, rounds):
    total = 0
    for k in range(rounds):
        for s in shapes:
            total = (total + s.score() + s.area() * (k % 5)) % 1000003
    return total


shapes = [make_shape(i) for i in range(240)]
print(measure(shapes, n))
