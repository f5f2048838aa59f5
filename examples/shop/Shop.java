package shop;

import java.util.ArrayList;
import java.util.List;

// A small program to trace: a basket of items, a discount and a receipt.
public class Shop {
    public static void main(String[] args) {
        Basket basket = new Basket();
        basket.add(new Item("apple", 30));
        basket.add(new Item("bread", 120));
        basket.add(new DiscountedItem("cheese", 400, 25));
        System.out.println("Total: " + basket.total());
    }
}

class Item {
    private final String name;
    private final int cents;

    Item(String name, int cents) {
        this.name = name;
        this.cents = cents;
    }

    int price() {
        return cents;
    }

    String name() {
        return name;
    }
}

class DiscountedItem extends Item {
    private final int percent;

    DiscountedItem(String name, int cents, int percent) {
        super(name, cents);
        this.percent = percent;
    }

    @Override
    int price() {
        return super.price() * (100 - percent) / 100;
    }
}

class Basket {
    private final List<Item> items = new ArrayList<>();

    void add(Item item) {
        items.add(item);
    }

    int total() {
        int sum = 0;
        for (Item item : items) {
            sum += item.price();
        }
        return sum;
    }
}
