package app;

public class Box<T> {
    private final T item;

    public Box(T item) {
        this.item = item;
    }

    public T get() {
        return item;
    }
}
